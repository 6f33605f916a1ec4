// Restore into a state's data channels with every option, and restore and compare without
// equipment to reach (file errors, requests of the wrong type, a process without a client).
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "sr_files.h"
#include "velko_test.h"

namespace {

using srtest::kHead;

// A state that notes every text written to its channels, in order, as "NAME=text".
class RecordingState : public FSMstate {
  public:
    RecordingState() : FSMstate("S", "restore target", STATE) {}
    using FSMstate::data_set;
    int data_set(int handle, char* ds, int flag) override {
        writes.push_back(data[static_cast<size_t>(handle & 0xFFFFF)]->name + "=" + ds);
        return FSMstate::data_set(handle, ds, flag);
    }
    void channel(const char* ch, const char* text) { srtest::add_text_channel(this, ch, text); }
    std::string text(const char* ch) {
        int h = data_open(ch, 0);
        char* p = nullptr;
        EXPECT_EQ(FSMstate::data_get(h, &p, 0), 0);
        std::string s = p != nullptr ? p : "";
        delete[] p;
        return s;
    }
    std::vector<std::string> writes;
};

class SrRestore : public ::testing::Test {
  protected:
    void write(const std::string& body) { testsupport::write_file(path, kHead + body); }
    int restore(SrOption op, int stop, FSMstate* sp) {
        return restore_all(const_cast<char*>(path.c_str()), &data, op, stop, sp);
    }

    testsupport::TempDir tmp;
    std::string path = tmp.file("values.sr");
    velko::EqData data;
    RecordingState state;
};

const char kThree[] = "F D L A\t3\talpha\t;\nF D L B\t2\t1.5\t;\nF D L C\t3\tgamma ray\t;\n";

TEST_F(SrRestore, SetFromFileWritesEveryItemInFileOrder) {
    write(kThree);
    state.channel("A", "");
    state.channel("B", "");
    state.channel("C", "");
    EXPECT_EQ(restore(SR_SET_FROM_FILE, 1, &state), 0);
    EXPECT_EQ(state.writes, (std::vector<std::string>{"A=alpha", "B=1.5", "C=gamma ray"}));
    EXPECT_EQ(state.text("C"), "gamma ray");
}

TEST_F(SrRestore, AMissingChannelIsSkippedOrStopsTheRestore) {
    write(kThree);
    state.channel("A", "");
    state.channel("C", "");
    EXPECT_EQ(restore(SR_SET_FROM_FILE, 0, &state), 0);
    EXPECT_EQ(state.writes, (std::vector<std::string>{"A=alpha", "C=gamma ray"}));
    EXPECT_STREQ(state.get_error(), "");

    state.writes.clear();
    EXPECT_EQ(restore(SR_SET_FROM_FILE, 1, &state), 1);
    EXPECT_EQ(state.writes, (std::vector<std::string>{"A=alpha"}));
    EXPECT_STREQ(state.get_error(), "B not found");
}

TEST_F(SrRestore, AddFromDataAddsTheCallersNumber) {
    write("F D L A\t2\t1.5\t;\nF D L B\t3\t7\t;\nF D L C\t1\t-4\t;\n");
    state.channel("A", "");
    state.channel("B", "");
    state.channel("C", "");
    data.set(2);
    EXPECT_EQ(restore(SR_ADD_FROM_DATA, 0, &state), 0);
    // A text item contributes 0; sums are written with six significant digits.
    EXPECT_EQ(state.writes, (std::vector<std::string>{"A=3.5", "B=2", "C=-2"}));

    state.writes.clear();
    data.set("not a number");
    EXPECT_EQ(restore(SR_ADD_FROM_DATA, 0, &state), 0);
    EXPECT_EQ(state.writes, (std::vector<std::string>{"A=1.5", "B=0", "C=-4"}));
}

TEST_F(SrRestore, SetFromDataWritesTheCallersValueEverywhere) {
    write(kThree);
    state.channel("A", "");
    state.channel("B", "");
    state.channel("C", "");
    data.set("same");
    EXPECT_EQ(restore(SR_SET_FROM_DATA, 0, &state), 0);
    EXPECT_EQ(state.writes, (std::vector<std::string>{"A=same", "B=same", "C=same"}));
}

TEST_F(SrRestore, CheckCorrectWritesOnlyWhatDiffers) {
    write("F D L A\t3\ta b\t;\nF D L B\t3\tkept\t;\nF D L C\t3\tnew\t;\n");
    state.channel("A", "a\tb");  // equal once tabs count as blanks
    state.channel("B", "kept");
    state.channel("C", "old");
    EXPECT_EQ(restore(SR_CHECK_CORRECT, 0, &state), 0);
    EXPECT_EQ(state.writes, (std::vector<std::string>{"C=new"}));
    EXPECT_EQ(state.text("C"), "new");
    EXPECT_EQ(state.text("A"), "a\tb");

    state.writes.clear();
    EXPECT_EQ(restore(SR_CHECK_CORRECT, 0, &state), 0);
    EXPECT_TRUE(state.writes.empty());
}

TEST_F(SrRestore, CheckCorrectFollowsTheMissingChannelRule) {
    write(kThree);
    state.channel("A", "x");
    EXPECT_EQ(restore(SR_CHECK_CORRECT, 0, &state), 0);
    EXPECT_EQ(state.writes, (std::vector<std::string>{"A=alpha"}));
    EXPECT_EQ(restore(SR_CHECK_CORRECT, 1, &state), 1);
    EXPECT_STREQ(state.get_error(), "B not found");
}

TEST_F(SrRestore, CompareOptionsWriteNothing) {
    write(kThree);
    state.channel("A", "");
    state.channel("B", "");
    state.channel("C", "");
    EXPECT_EQ(restore(SR_COMP_CORRECT, 1, &state), 0);
    EXPECT_EQ(restore(SR_COMP_NOT_CORRECT, 1, &state), 0);
    EXPECT_TRUE(state.writes.empty());
}

TEST_F(SrRestore, FileErrorsEndTheRestore) {
    EXPECT_EQ(restore(SR_SET_FROM_FILE, 0, &state), 1);
    EXPECT_EQ(data.error(), 302);
    testsupport::write_file(path, "something else\n");
    EXPECT_EQ(restore(SR_SET_FROM_FILE, 0, &state), 1);
    EXPECT_EQ(data.error(), 303);
    EXPECT_EQ(restore_all(const_cast<char*>(path.c_str()), nullptr, SR_SET_FROM_FILE, 0, &state), 1);
}

TEST_F(SrRestore, WithoutAClientEveryEquipmentWriteFails) {
    // No FSM location exists in this process, so no remote-call client either.
    ASSERT_EQ(velko_call, nullptr);
    write(kThree);
    EXPECT_EQ(restore(SR_SET_FROM_FILE, 0, nullptr), 0);
    EXPECT_EQ(data.error(), velko::ERR_UNREACHABLE);
    EXPECT_NE(data.error_text().find("F/D/L/C"), std::string::npos) << data.error_text();
    data.init();
    EXPECT_EQ(restore(SR_SET_FROM_FILE, 1, nullptr), 1);
    EXPECT_NE(data.error_text().find("F/D/L/A"), std::string::npos) << data.error_text();
    // Items whose current value cannot be read are skipped by check-and-correct.
    data.init();
    EXPECT_EQ(restore(SR_CHECK_CORRECT, 1, nullptr), 0);
    EXPECT_EQ(data.error(), 0);
}

TEST_F(SrRestore, AValueThatDoesNotParseIsNotWritten) {
    // Sending it would put the type's zero into the equipment.
    write("F D L A\t1\tnot-an-int\t;\n");
    EXPECT_EQ(restore(SR_SET_FROM_FILE, 1, nullptr), 1);
    EXPECT_EQ(data.error(), velko::ERR_PARSE);
    EXPECT_NE(data.error_text().find("F/D/L/A"), std::string::npos) << data.error_text();
}

class SrCompareOffline : public SrRestore {
  protected:
    int compare(SrOption op, int kind, int* stop) {
        IFFF rq = {kind, 0.0f, 0.0f, 1.0f};
        data.set(rq);
        return compare_all(const_cast<char*>(path.c_str()), &data, op, stop);
    }
};

TEST_F(SrCompareOffline, ARequestOfAnotherTypeIsRefused) {
    write(kThree);
    data.set(2.0f);
    int stop = 0;
    EXPECT_EQ(compare_all(const_cast<char*>(path.c_str()), &data, SR_COMP_CORRECT, &stop), 1);
    EXPECT_EQ(data.error(), 0);
    EXPECT_EQ(compare_all(const_cast<char*>(path.c_str()), nullptr, SR_COMP_CORRECT, &stop), 1);
}

TEST_F(SrCompareOffline, FileErrorsReturnOne) {
    int stop = 0;
    EXPECT_EQ(compare(SR_COMP_CORRECT, 1, &stop), 1);
    EXPECT_EQ(data.error(), 302);
}

TEST_F(SrCompareOffline, APassWithoutAnyReadableItemReturnsMinusOne) {
    write(kThree);
    int stop = 0;
    for (int kind : {0, 1, 2, 3}) {
        EXPECT_EQ(compare(SR_SET_FROM_FILE, kind, &stop), -1);
        EXPECT_EQ(data.error(), velko::ERR_UNREACHABLE);
        EXPECT_NE(data.error_text().find("Cannot reach"), std::string::npos);
    }
    write("");
    EXPECT_EQ(compare(SR_COMP_CORRECT, 1, &stop), -1);
    EXPECT_EQ(data.error(), 0);
}

TEST_F(SrCompareOffline, NotCorrectReportsTheFirstItemThatCannotBeRead) {
    write(kThree);
    EXPECT_EQ(compare(SR_COMP_NOT_CORRECT, 1, nullptr), 1);
    EXPECT_EQ(data.error(), 309);
    EXPECT_EQ(data.error_text().rfind("item 1: ", 0), 0u) << data.error_text();
}

TEST_F(SrCompareOffline, AStopRaisedBeforehandEndsAtOnce) {
    write(kThree);
    int stop = 1;
    EXPECT_EQ(compare(SR_COMP_NOT_CORRECT, 1, &stop), 0);
}

}  // namespace
