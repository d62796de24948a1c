// Severity zone boundaries per machine class and the limits they give.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "core/alarm/Zones.h"

namespace tav {
namespace {

TEST(SeverityZones, BoundariesPerClassWithTheBoundaryInTheUpperZone)
{
    struct Row {
        IsoClass c;
        double ab, bc, cd;
    };
    for (const Row r : {Row{IsoClass::kGroup1Rigid, 2.3, 4.5, 7.1}, Row{IsoClass::kGroup1Flexible, 3.5, 7.1, 11.0},
                        Row{IsoClass::kGroup2Rigid, 1.4, 2.8, 4.5}, Row{IsoClass::kGroup2Flexible, 2.3, 4.5, 7.1}}) {
        SCOPED_TRACE(IsoClassKey(r.c));
        EXPECT_EQ(ZoneOf(r.c, 0.0), Zone::kA);
        EXPECT_EQ(ZoneOf(r.c, std::nextafter(r.ab, 0.0)), Zone::kA);
        EXPECT_EQ(ZoneOf(r.c, r.ab), Zone::kB);
        EXPECT_EQ(ZoneOf(r.c, std::nextafter(r.bc, 0.0)), Zone::kB);
        EXPECT_EQ(ZoneOf(r.c, r.bc), Zone::kC);
        EXPECT_EQ(ZoneOf(r.c, std::nextafter(r.cd, 0.0)), Zone::kC);
        EXPECT_EQ(ZoneOf(r.c, r.cd), Zone::kD);
        EXPECT_EQ(ZoneOf(r.c, 1e6), Zone::kD);
        EXPECT_EQ(ZoneOf(r.c, NAN), Zone::kNone);
        EXPECT_EQ(ZoneOf(r.c, -1.0), Zone::kNone);

        MachineSettings m;
        m.isoClass = r.c;
        const Limits byClass = EffectiveLimits(m, kQuantityVelocity);
        EXPECT_EQ(byClass.alert, r.bc);
        EXPECT_EQ(byClass.danger, r.cd);
        EXPECT_TRUE(std::isnan(EffectiveLimits(m, kQuantityAccelerationRms).alert));  // the class is velocity only
    }
    EXPECT_EQ(ZoneOf(IsoClass::kNone, 3.0), Zone::kNone);
}

// A slow machine's displacement zones per class; the worse of velocity and
// displacement decides, and only a slow machine gets displacement limits.
struct DisplacementRow {
    IsoClass c;
    double ab, bc, cd;  // µm RMS
};
class DisplacementZones : public ::testing::TestWithParam<DisplacementRow> {};

TEST_P(DisplacementZones, BoundariesLimitsAndTheWorseZone)
{
    const DisplacementRow r = GetParam();
    const double steps[] = {0.0, r.ab, r.bc, r.cd};
    for (int z = 0; z < 4; ++z) {
        EXPECT_EQ(DisplacementZoneOf(r.c, steps[z]), Zone(z));
        if (z > 0) {
            EXPECT_EQ(DisplacementZoneOf(r.c, std::nextafter(steps[z], 0.0)), Zone(z - 1));
        }
    }
    // Velocity in A, displacement in C: C by displacement; a tie stays velocity's.
    const JudgedZone worse = JudgeZone(r.c, 0.0, r.bc);
    EXPECT_EQ(worse.zone, Zone::kC);
    EXPECT_EQ(worse.by, ZoneBy::kDisplacement);
    const JudgedZone tie = JudgeZone(r.c, BoundariesOf(r.c).bc, r.bc);
    EXPECT_EQ(tie.by, ZoneBy::kVelocity);
    EXPECT_EQ(JudgeZone(r.c, 0.0, NAN).by, ZoneBy::kNone);  // a fast machine reads as before

    MachineSettings m;
    m.isoClass = r.c;
    EXPECT_TRUE(std::isnan(DisplacementLimits(m).alert));
    m.ratedRpm = 601;
    EXPECT_TRUE(std::isnan(DisplacementLimits(m).alert));
    m.ratedRpm = 600;
    EXPECT_EQ(DisplacementLimits(m).alert, r.bc);
    EXPECT_EQ(DisplacementLimits(m).danger, r.cd);
}

INSTANTIATE_TEST_SUITE_P(Classes, DisplacementZones,
                         ::testing::Values(DisplacementRow{IsoClass::kGroup1Rigid, 29, 57, 90},
                                           DisplacementRow{IsoClass::kGroup1Flexible, 45, 90, 140},
                                           DisplacementRow{IsoClass::kGroup2Rigid, 22, 45, 71},
                                           DisplacementRow{IsoClass::kGroup2Flexible, 37, 71, 113}));

TEST(SeverityZones, ExplicitLimitsOverrideAndNeverLeaveDangerBelowAlert)
{
    MachineSettings m;
    m.isoClass = IsoClass::kGroup2Rigid;  // 2.8 / 4.5
    m.alert[kQuantityVelocity] = 3.0;
    Limits l = EffectiveLimits(m, kQuantityVelocity);
    EXPECT_EQ(l.alert, 3.0);
    EXPECT_EQ(l.danger, 4.5);

    m.alert[kQuantityVelocity] = 6.0;  // above the class's danger: that one is not used
    l = EffectiveLimits(m, kQuantityVelocity);
    EXPECT_EQ(l.alert, 6.0);
    EXPECT_TRUE(std::isnan(l.danger));

    m.alert[kQuantityVelocity] = NAN;
    m.danger[kQuantityVelocity] = 2.5;  // below the class's alert: that one is not used
    l = EffectiveLimits(m, kQuantityVelocity);
    EXPECT_TRUE(std::isnan(l.alert));
    EXPECT_EQ(l.danger, 2.5);

    MachineSettings none;
    none.danger[kQuantityTemperature] = 85;
    l = EffectiveLimits(none, kQuantityTemperature);
    EXPECT_TRUE(std::isnan(l.alert));
    EXPECT_EQ(l.danger, 85.0);
    EXPECT_TRUE(std::isnan(EffectiveLimits(none, kQuantityVelocity).alert));
}

TEST(SeverityZones, LimitsFromClassAndBaselineWithTheirCaps)
{
    struct Row {
        IsoClass c;
        double baseline, alarm, trip;
    };
    // B/C and C/D: group 2 rigid 2.8 / 4.5, group 1 rigid 4.5 / 7.1.
    for (const Row r : {Row{IsoClass::kGroup2Rigid, 1.0, 1.70, 4.50}, Row{IsoClass::kGroup2Rigid, 3.0, 3.50, 5.625},
                        Row{IsoClass::kGroup2Rigid, 2.5, 3.20, 4.5 * 3.2 / 2.8},
                        Row{IsoClass::kGroup1Rigid, 0.5, 1.625, 7.10}, Row{IsoClass::kGroup1Rigid, 9.0, 5.625, 8.875},
                        Row{IsoClass::kNone, 1.0, NAN, NAN}, Row{IsoClass::kGroup2Rigid, NAN, NAN, NAN}}) {
        SCOPED_TRACE(std::string(IsoClassKey(r.c)) + " " + std::to_string(r.baseline));
        const Limits l = BaselineLimits(r.c, r.baseline);
        if (std::isnan(r.alarm)) {
            EXPECT_TRUE(std::isnan(l.alert) && std::isnan(l.danger));
            continue;
        }
        EXPECT_NEAR(l.alert, r.alarm, 1e-9);
        EXPECT_NEAR(l.danger, r.trip, 1e-9);
        // Applied on the axis that has the baseline; explicit limits still win.
        MachineSettings m;
        m.isoClass = r.c;
        m.baseline.velocity[1] = r.baseline;
        EXPECT_NEAR(EffectiveLimits(m, kQuantityVelocity, 1).alert, r.alarm, 1e-9);
        EXPECT_EQ(EffectiveLimits(m, kQuantityVelocity, 0).alert, BoundariesOf(r.c).bc);
        m.alert[kQuantityVelocity] = 9.5;
        EXPECT_EQ(EffectiveLimits(m, kQuantityVelocity, 1).alert, 9.5);
    }
}

}  // namespace
}  // namespace tav
