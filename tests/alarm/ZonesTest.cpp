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
