// The download bench's judge, held to hand-worked logs. At 10000 baud 8N1 one byte takes
// exactly 1 ms on the wire, so each least time below can be added up by hand.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "bench/download_timing.h"

namespace {

constexpr double kBaud = 10000;

std::string Row(double ms, const char* kind, const std::string& text) {
    char head[48];
    std::snprintf(head, sizeof head, "%12.3f %-7s ", ms, kind);
    return head + text + "\n";
}

std::string Line(double ms, const char* image, int number, const std::string& text,
                 const std::string& verdict = "ok") {
    return Row(ms, "line", std::string(image) + " " + std::to_string(number) + " \"" + text +
                               "\" " + verdict);
}

// A main pass alone, every event at its least time:
//   command heard at 0; the first block: -16 (its bytes) + 200 wait + 1000 read timeout
//   + 80 = 1264; line 2: 500 - 80 (first block's wait) + 12 = 1696; line 3 (prefix as
//   before): 1 (".") + 12 = 1709; line 4 (new prefix): 1722; line 5 (after the change):
//   1 + 1600 + 12 = 3335; line 6 ("S7"): 1 + 1000 + 14 = 4350; end marker: 1 + 2 = 4353.
struct MainPass {
    double delay[7] = {0, 0, 0, 0, 0, 0, 0}; // extra ms before lines 1 to 6, then the end
    std::string verdict3 = "ok";
    int number5 = 5;

    std::string Log() const {
        const double least[7] = {1264, 1696, 1709, 1722, 3335, 4350, 4353};
        double at[7];
        double extra = 0;
        for (int i = 0; i < 7; ++i) {
            extra += delay[i];
            at[i] = least[i] + extra;
        }
        return Row(-40, "port", "COM3 opened") + Row(-20, "command", "\"AT\\r\"") +
               Row(0, "command", "\"!!download2cf\\r\\n\\0\"") +
               Line(at[0], "main", 1, "S1050000AA") + Line(at[1], "main", 2, "S1050000BB") +
               Line(at[2], "main", 3, "S1050000CC", verdict3) +
               Line(at[3], "main", 4, "S1050010DD") +
               Line(at[4], "main", number5, "S1050010EE") +
               Line(at[5], "main", 6, "S705000000FA") + Row(at[6], "end", "main end marker");
    }
};

TEST(DownloadTiming, ALogAtTheLeastTimeMeasuresItsOwnMinimum) {
    DownloadTiming t = JudgeDownloadLog(MainPass().Log(), kBaud);
    ASSERT_TRUE(t.ok) << t.error;
    EXPECT_FALSE(t.bootPass);
    EXPECT_EQ(t.lines, 6u);
    EXPECT_NEAR(t.measuredMs, 4353, 1e-6);
    EXPECT_NEAR(t.minimumMs, 4353, 1e-6);
    EXPECT_NEAR(t.setupExtraMs, 0, 1e-6);
    ASSERT_EQ(t.ackToLineMs.size(), 4u); // lines 3 to 6
    for (double ms : t.ackToLineMs)
        EXPECT_NEAR(ms, 0, 1e-6);
}

TEST(DownloadTiming, LateLinesAreChargedToTheLoopAndLateSetUpOutsideIt) {
    MainPass p;
    p.delay[0] = 30;  // the first block late: set-up
    p.delay[4] = 0.5; // line 5 late: the loop
    p.delay[5] = 2;   // line 6 late: the loop
    p.delay[6] = 7;   // the end marker late: outside the loop
    DownloadTiming t = JudgeDownloadLog(p.Log(), kBaud);
    ASSERT_TRUE(t.ok) << t.error;
    EXPECT_NEAR(t.measuredMs - t.minimumMs, 39.5, 1e-6);
    EXPECT_NEAR(t.setupExtraMs, 37, 1e-6);
    ASSERT_EQ(t.ackToLineMs.size(), 4u);
    EXPECT_NEAR(t.ackToLineMs[0], 0, 1e-6);
    EXPECT_NEAR(t.ackToLineMs[1], 0, 1e-6);
    EXPECT_NEAR(t.ackToLineMs[2], 0.5, 1e-6);
    EXPECT_NEAR(t.ackToLineMs[3], 2, 1e-6);
}

// Boot pass then main pass: boot command at 0; its first block: -15 + 500 + 1000 + 80 =
// 1565; end marker: 500 - 80 + 2 = 1987; reset: -2 + 5000 + 1000 + 10 = 7995; main command
// after the reset wait and the re-open: -10 + 5000 + 16 = 13001; its first block 14265;
// end marker 14687.
TEST(DownloadTiming, TheBootPassAndTheResetAreTimedToo) {
    const std::string log = Row(0, "command", "\"!!dOWNLOADBOOT\\r\"") +
                            Line(1565, "boot", 1, "S1050000AA") +
                            Row(1987, "end", "boot end marker") +
                            Row(7995, "command", "\"!!rESET\\r\\n\\0\"") +
                            Row(8000, "port", "COM3 withdrawn") +
                            Row(13001, "command", "\"!!download2cf\\r\\n\\0\"") +
                            Line(14265, "main", 1, "S1050000AA") +
                            Row(14687, "end", "main end marker");
    DownloadTiming t = JudgeDownloadLog(log, kBaud);
    ASSERT_TRUE(t.ok) << t.error;
    EXPECT_TRUE(t.bootPass);
    EXPECT_EQ(t.lines, 2u);
    EXPECT_NEAR(t.measuredMs, 14687, 1e-6);
    EXPECT_NEAR(t.minimumMs, 14687, 1e-6);
    EXPECT_TRUE(t.ackToLineMs.empty());
}

TEST(DownloadTiming, ALogThatIsNoWholeFaultlessUpdateIsNotJudged) {
    MainPass faulty;
    faulty.verdict3 = "fault: bad checksum";
    DownloadTiming t = JudgeDownloadLog(faulty.Log(), kBaud);
    EXPECT_FALSE(t.ok);
    EXPECT_NE(t.error.find("line 3"), std::string::npos) << t.error;

    MainPass skipped;
    skipped.number5 = 7;
    EXPECT_FALSE(JudgeDownloadLog(skipped.Log(), kBaud).ok);

    std::string cut = MainPass().Log();
    cut.erase(cut.rfind(Row(4353, "end", "main end marker")));
    EXPECT_FALSE(JudgeDownloadLog(cut, kBaud).ok);

    EXPECT_FALSE(JudgeDownloadLog("", kBaud).ok);
}

TEST(DownloadTiming, PercentileIsTheNearestRank) {
    std::vector<double> values;
    for (int i = 100; i >= 1; --i)
        values.push_back(i);
    EXPECT_EQ(Percentile(values, 0.5), 50);
    EXPECT_EQ(Percentile(values, 0.99), 99);
    EXPECT_EQ(Percentile(values, 1.0), 100);
    EXPECT_EQ(Percentile({7}, 0.99), 7);
    EXPECT_EQ(Percentile({}, 0.5), 0);
}

} // namespace
