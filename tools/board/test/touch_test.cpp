// The touch core: the target's event layout, calibration arithmetic and the
// rule that decides when a sample goes out.
#include "touch.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

namespace
{

TouchInputEvent ev(uint16_t type, uint16_t code, int32_t value)
{
    return TouchInputEvent{0, 0, type, code, value};
}

class Calibration : public testing::Test
{
  protected:
    void SetUp() override { clear(); }
    void TearDown() override { clear(); }
    static void clear()
    {
        for (const char *n : {"TOUCHCAL_X0_EXP", "TOUCHCAL_X1_EXP", "TOUCHCAL_X0_CUR", "TOUCHCAL_X1_CUR",
                              "TOUCHCAL_Y0_EXP", "TOUCHCAL_Y1_EXP", "TOUCHCAL_Y0_CUR", "TOUCHCAL_Y1_CUR"}) {
            unsetenv(n);
        }
    }
};

TEST(TouchLayout, EventIsTheTargetsSixteenOctetsLittleEndian)
{
    // time 0x11223344.0x00055667, type 3, code 1, value -2, as the board's kernel writes it
    const unsigned char wire[16] = {0x44, 0x33, 0x22, 0x11, 0x67, 0x56, 0x05, 0x00,
                                    0x03, 0x00, 0x01, 0x00, 0xFE, 0xFF, 0xFF, 0xFF};
    TouchInputEvent e;
    static_assert(sizeof e == sizeof wire);
    memcpy(&e, wire, sizeof e);
    EXPECT_EQ(e.sec, 0x11223344u);
    EXPECT_EQ(e.usec, 0x00055667u);
    EXPECT_EQ(e.type, 3);
    EXPECT_EQ(e.code, 1);
    EXPECT_EQ(e.value, -2);
}

TEST(TouchLayout, SampleIsEightOctetsWithZeroPadding)
{
    TouchState s;
    const TouchAxisCalibration none;
    touch_update(s, none, none, ev(kEvKey, kBtnTouch, 1));
    touch_update(s, none, none, ev(kEvAbs, 0, 0x1234));
    touch_update(s, none, none, ev(kEvAbs, 1, -3));
    unsigned char out[8];
    memcpy(out, &s.sample, sizeof out);
    const unsigned char want[8] = {0x01, 0x00, 0x34, 0x12, 0xFD, 0xFF, 0x00, 0x00};
    EXPECT_EQ(0, memcmp(out, want, 8));
}

TEST_F(Calibration, WithoutVariablesRawValuesPassUnchanged)
{
    const TouchAxisCalibration x = touch_calibration('X');
    EXPECT_EQ(x.scale, 1.0);
    for (int32_t raw : {0, 1, -1, 500, 4095, -32768, 32767}) {
        EXPECT_EQ(touch_calibrate(x, raw), raw);
    }
}

TEST_F(Calibration, TwoReferencePointsMapLinearlyAndTruncateTowardZero)
{
    setenv("TOUCHCAL_X0_EXP", "0", 1);
    setenv("TOUCHCAL_X1_EXP", "800", 1);
    setenv("TOUCHCAL_X0_CUR", "100", 1);
    setenv("TOUCHCAL_X1_CUR", "900", 1);
    const TouchAxisCalibration x = touch_calibration('X');
    EXPECT_EQ(touch_calibrate(x, 500), 400);
    EXPECT_EQ(touch_calibrate(x, 50), -50);
    // Y has its own variables: still the identity.
    EXPECT_EQ(touch_calibrate(touch_calibration('Y'), 50), 50);

    // scale 2/3: 10 -> 6.66 -> 6 and -10 -> -6.66 -> -6 (toward zero, not down)
    setenv("TOUCHCAL_Y0_EXP", "0", 1);
    setenv("TOUCHCAL_Y1_EXP", "2", 1);
    setenv("TOUCHCAL_Y0_CUR", "0", 1);
    setenv("TOUCHCAL_Y1_CUR", "3", 1);
    const TouchAxisCalibration y = touch_calibration('Y');
    EXPECT_EQ(touch_calibrate(y, 10), 6);
    EXPECT_EQ(touch_calibrate(y, -10), -6);
}

TEST_F(Calibration, InvertedAxisAndEqualReadings)
{
    setenv("TOUCHCAL_Y0_EXP", "479", 1);
    setenv("TOUCHCAL_Y1_EXP", "0", 1);
    setenv("TOUCHCAL_Y0_CUR", "200", 1);
    setenv("TOUCHCAL_Y1_CUR", "3800", 1);
    EXPECT_EQ(touch_calibrate(touch_calibration('Y'), 2000), 239); // 479 - 1800*479/3600 = 239.5

    // Equal raw readings give scale 1: only the offset applies.
    setenv("TOUCHCAL_X0_EXP", "10", 1);
    setenv("TOUCHCAL_X1_EXP", "999", 1);
    setenv("TOUCHCAL_X0_CUR", "7", 1);
    setenv("TOUCHCAL_X1_CUR", "7", 1);
    const TouchAxisCalibration x = touch_calibration('X');
    EXPECT_EQ(x.scale, 1.0);
    EXPECT_EQ(touch_calibrate(x, 7), 10);
    EXPECT_EQ(touch_calibrate(x, 0), 3);
}

TEST_F(Calibration, ExtremeValuesAreKeptAsTheirLowSixteenBits)
{
    setenv("TOUCHCAL_X0_CUR", "-2147483648", 1); // raw - CUR0 overflows 32 bits
    setenv("TOUCHCAL_X1_CUR", "2147483647", 1);
    setenv("TOUCHCAL_X1_EXP", "not a number", 1); // 0
    const TouchAxisCalibration x = touch_calibration('X');
    EXPECT_EQ(x.cur0, INT32_MIN);
    EXPECT_EQ(touch_calibrate(x, 0), 0);

    unsetenv("TOUCHCAL_X0_CUR");
    unsetenv("TOUCHCAL_X1_CUR");
    unsetenv("TOUCHCAL_X1_EXP");
    setenv("TOUCHCAL_X0_EXP", "70000", 1); // 70000 = 0x11170
    EXPECT_EQ(touch_calibrate(touch_calibration('X'), 0), 0x1170);
    setenv("TOUCHCAL_X0_EXP", "99999999999", 1); // pinned to 2^31 - 1, low 16 bits 0xFFFF
    EXPECT_EQ(touch_calibrate(touch_calibration('X'), 0), -1);

    // A scale so large that the result leaves every integer range.
    setenv("TOUCHCAL_X0_EXP", "-2147483648", 1);
    setenv("TOUCHCAL_X1_EXP", "2147483647", 1);
    setenv("TOUCHCAL_X0_CUR", "0", 1);
    setenv("TOUCHCAL_X1_CUR", "1", 1);
    const TouchAxisCalibration big = touch_calibration('X');
    EXPECT_EQ(touch_calibrate(big, 2147483647), -1);     // pinned to INT64_MAX
    EXPECT_EQ(touch_calibrate(big, -2147483647 - 1), 0); // pinned to INT64_MIN
}

TEST(TouchSampleRule, ContactThenBothAxesThenEveryAxisThenRelease)
{
    TouchState s;
    const TouchAxisCalibration none;
    EXPECT_FALSE(touch_update(s, none, none, ev(kEvKey, kBtnTouch, 1)));
    EXPECT_FALSE(touch_update(s, none, none, ev(kEvAbs, 0, 100))); // X only
    EXPECT_FALSE(touch_update(s, none, none, ev(kEvAbs, 2, 101))); // X again (code 2)
    EXPECT_TRUE(touch_update(s, none, none, ev(kEvAbs, 3, 200)));  // Y (code 3): a sample
    EXPECT_EQ(s.sample.x, 101);
    EXPECT_EQ(s.sample.y, 200);
    EXPECT_TRUE(touch_update(s, none, none, ev(kEvAbs, 0, 102)));
    EXPECT_TRUE(touch_update(s, none, none, ev(kEvAbs, 1, 201)));
    EXPECT_FALSE(touch_update(s, none, none, ev(kEvAbs, 24, 5))); // pressure: not ours
    EXPECT_FALSE(touch_update(s, none, none, ev(0, 0, 0)));       // sync
    EXPECT_TRUE(touch_update(s, none, none, ev(kEvKey, kBtnTouch, 0)));
    EXPECT_EQ(s.sample.touch, 0);
    EXPECT_EQ(s.sample.x, 102); // the last position goes with the release
    // Released: every axis event is a sample until the next contact.
    EXPECT_TRUE(touch_update(s, none, none, ev(kEvAbs, 0, 7)));
    // A new contact clears the marks again.
    EXPECT_FALSE(touch_update(s, none, none, ev(kEvKey, kBtnTouch, 1)));
    EXPECT_FALSE(touch_update(s, none, none, ev(kEvAbs, 1, 9)));
    EXPECT_TRUE(touch_update(s, none, none, ev(kEvAbs, 0, 8)));
}

TEST(TouchSampleRule, ClassifiesByTypeAndCode)
{
    EXPECT_EQ(touch_classify(ev(kEvKey, kBtnTouch, 1)), TouchEventKind::contact);
    EXPECT_EQ(touch_classify(ev(kEvKey, 331, 1)), TouchEventKind::other_key);
    EXPECT_EQ(touch_classify(ev(kEvAbs, 0, 1)), TouchEventKind::axis_x);
    EXPECT_EQ(touch_classify(ev(kEvAbs, 2, 1)), TouchEventKind::axis_x);
    EXPECT_EQ(touch_classify(ev(kEvAbs, 1, 1)), TouchEventKind::axis_y);
    EXPECT_EQ(touch_classify(ev(kEvAbs, 3, 1)), TouchEventKind::axis_y);
    EXPECT_EQ(touch_classify(ev(kEvAbs, 4, 1)), TouchEventKind::other_abs);
    EXPECT_EQ(touch_classify(ev(2, 0, 1)), TouchEventKind::other_type);
    EXPECT_EQ(touch_classify(ev(0, kBtnTouch, 1)), TouchEventKind::other_type);
}

} // namespace
