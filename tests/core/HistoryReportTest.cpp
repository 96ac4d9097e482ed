#include "morvane/core/Context.hpp"
#include "morvane/core/tables/OpUsageNames.hpp"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

using namespace Morvane;

namespace {

const std::string kHead = "================ Operation Usage =================\n"
                          "| operation                              | count |\n"
                          "|----------------------------------------|-------|\n";
const std::string kRule = "|----------------------------------------|-------|\n";

class HistoryReportTest : public ::testing::Test {
protected:
    void count(const std::string& label, u64 times = 1) {
        for (u64 i = 0; i < times; ++i)
            context->updateOpHistory(label);
    }

    Context context = makeContext(ParameterPreset::FGb);
};

std::vector<std::string> lines(const std::string& report) {
    std::vector<std::string> result;
    std::istringstream in(report);
    for (std::string line; std::getline(in, line);)
        result.push_back(line);
    return result;
}

} // namespace

TEST_F(HistoryReportTest, ExampleByteForByte) {
    count("Encode");
    count("ctxt * ctxt", 3);
    count("Rotate", 12);
    count("Generate rotation key", 5);
    count("Decrypt", 4);
    const std::string rows = "| Encode                                 |     1 |\n"
                             "| ctxt * ctxt                            |     3 |\n"
                             "| Rotate                                 |    12 |\n";
    EXPECT_EQ(representOpHistory(context, false), kHead + rows + kRule);
    EXPECT_EQ(representOpHistory(context, true),
              kHead + rows + "| Generate rotation key                  |     5 |\n" + kRule);
    EXPECT_EQ(getOpHistory(context).at("Decrypt"), 4u) << "the report changes nothing";
}

TEST_F(HistoryReportTest, EmptyAndKeyOnlyHistories) {
    EXPECT_EQ(context->representOpHistory(false), kHead + kRule);
    EXPECT_EQ(context->representOpHistory(true), kHead + kRule);

    count("Load SSE key", 2);
    count("Generate encryption key");
    EXPECT_EQ(context->representOpHistory(false), kHead + kRule);
    EXPECT_EQ(context->representOpHistory(true), kHead +
                                                     "| Generate encryption key                |     1 |\n"
                                                     "| Load SSE key                           |     2 |\n" +
                                                     kRule);
}

TEST_F(HistoryReportTest, LabelsMatchExactly) {
    for (const char* label : {"encode", "Encode ", " Encode", "Decrypt", "Encrypt by sk", "Encrypt by pk", ""})
        count(label);
    EXPECT_EQ(context->representOpHistory(true), kHead + kRule);
}

TEST_F(HistoryReportTest, SixDigitCountFillsTheColumn) {
    count("Rotate", 999999);
    EXPECT_EQ(context->representOpHistory(false), kHead + "| Rotate                                 |999999 |\n" + kRule);
}

// A count wider than its column widens the row instead of breaking the layout.
TEST_F(HistoryReportTest, SevenDigitCountWidensTheRow) {
    count("Rotate", 1000000);
    count("Encode", 3);
    EXPECT_EQ(context->representOpHistory(false), kHead +
                                                      "| Encode                                 |     3 |\n"
                                                      "| Rotate                                 |1000000 |\n" +
                                                      kRule);
}

TEST_F(HistoryReportTest, RowsFollowListOrder) {
    // Every listed label counted once, inserted in reverse so that map order and list order differ.
    const auto& eval = opUsageNames.at("eval");
    const auto& key = opUsageNames.at("key");
    for (auto it = key.rbegin(); it != key.rend(); ++it)
        count(*it);
    for (auto it = eval.rbegin(); it != eval.rend(); ++it)
        count(*it);

    std::vector<std::string> expected;
    for (const auto& label : eval)
        expected.push_back(label);
    std::vector<std::string> expectedVerbose = expected;
    for (const auto& label : key)
        expectedVerbose.push_back(label);

    for (const bool verbose : {false, true}) {
        SCOPED_TRACE(verbose);
        const std::vector<std::string> all = lines(context->representOpHistory(verbose));
        const auto& want = verbose ? expectedVerbose : expected;
        ASSERT_EQ(all.size(), want.size() + 4);
        for (std::size_t i = 0; i < want.size(); ++i) {
            const std::string& row = all[i + 3];
            EXPECT_EQ(row.size(), 50u);
            EXPECT_EQ(row.substr(0, 2 + want[i].size()), "| " + want[i]);
            EXPECT_EQ(row.substr(41), "|     1 |");
        }
    }
}

TEST(OpUsageNamesTest, ListsAndTheirGpuLabels) {
    ASSERT_EQ(opUsageNames.size(), 2u);
    const auto& eval = opUsageNames.at("eval");
    const auto& key = opUsageNames.at("key");
    ASSERT_EQ(eval.size(), 59u);
    ASSERT_EQ(key.size(), 16u);
    EXPECT_EQ(eval.front(), "Save plaintext");
    EXPECT_EQ(eval[13], "Negate ctxt");
    EXPECT_EQ(eval[35], "Bootstrap extended");
    // Labels 37 to 59 are labels 14 to 36 on GPU.
    for (std::size_t i = 0; i < 23; ++i)
        EXPECT_EQ(eval[36 + i], eval[13 + i] + " (GPU)");
    EXPECT_EQ(key.front(), "Generate encryption key");
    EXPECT_EQ(key.back(), "Load SSE key");
    for (const auto& list : opUsageNames)
        for (const auto& label : list.second)
            EXPECT_LE(label.size(), 27u) << label;
}

// Every row of the label table has its own text and is found by it; the three labels outside the lists follow
// the report's rows.
TEST(OpUsageNamesTest, TableRowsAreTheListsThenTheUnlistedLabels) {
    std::vector<std::string> rows = opUsageNames.at("eval");
    for (const auto& label : opUsageNames.at("key"))
        rows.push_back(label);
    for (const char* unlisted : {"Encrypt by sk", "Encrypt by pk", "Decrypt"})
        rows.push_back(unlisted);
    ASSERT_EQ(rows.size(), labels::kLabelCount);
    for (std::size_t row = 0; row < rows.size(); ++row) {
        EXPECT_EQ(labels::text(row), rows[row]);
        EXPECT_EQ(labels::rowOf(rows[row]), row);
    }
    EXPECT_EQ(labels::rowOf("Rotate (gpu)"), labels::kLabelCount);
    EXPECT_EQ(labels::text(labels::bootstrapExtended.gpuIndex), "Bootstrap extended (GPU)");
}
