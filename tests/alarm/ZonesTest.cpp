// Severity zone boundaries per machine class and the limits they give.
#include <gtest/gtest.h>

#include <cmath>

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

}  // namespace
}  // namespace tav
