// Save from a state's data channels: the file written, read back, and how the target survives
// crashes, full disks and bad targets.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "sr_files.h"
#include "velko_test.h"

namespace {

using srtest::kHead;
using srtest::read_items;

// A state with text channels. Reading the channel named by kill_on ends the process at once, as a
// crash in the middle of a save would.
class ChannelState : public FSMstate {
  public:
    ChannelState() : FSMstate("S", "save source", STATE) {}
    using FSMstate::data_get;
    int data_get(int handle, char** ds, int flag) override {
        if (data[static_cast<size_t>(handle & 0xFFFFF)]->name == kill_on)
            raise(SIGKILL);
        return FSMstate::data_get(handle, ds, flag);
    }
    void channel(const char* ch, const char* text) { srtest::add_text_channel(this, ch, text); }
    std::string kill_on;
};

class SrSave : public ::testing::Test {
  protected:
    static void put(const std::string& path, const std::string& content) { testsupport::write_file(path, content); }
    static std::string get(const std::string& path) { return testsupport::read_file(path); }
    std::vector<std::string> entries() const { return tmp.entries(); }
    int save(FSMstate* sp) {
        return sr_save(const_cast<char*>(tmpl_path.c_str()), const_cast<char*>(target.c_str()), &data, sp);
    }

    testsupport::TempDir tmp;
    const std::string& dir = tmp.path();
    std::string tmpl_path = tmp.file("template.sr");
    std::string target = tmp.file("saved.sr");
    velko::EqData data;
    ChannelState state;
};

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::stringstream ss(text);
    std::string line;
    while (std::getline(ss, line))
        out.push_back(line);
    return out;
}

TEST_F(SrSave, AnEmptyTemplateGivesTheHeaderLinesOnly) {
    put(tmpl_path, kHead);
    ASSERT_EQ(save(&state), 0);
    auto got = lines(get(target));
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(got[0], "//Save_&_Restore//");
    EXPECT_EQ(got[1], " FSM created Save & Restore file ;");
    // The ctime text brings its own newline, so the ';' stands alone after one blank.
    EXPECT_EQ(got[2].substr(0, 1), " ");
    EXPECT_EQ(got[2].size(), 25u);
    EXPECT_EQ(got[3], " ;");
}

TEST_F(SrSave, ChannelValuesAndTemplateDefaultsAreWrittenAndReadBack) {
    put(tmpl_path, std::string(kHead) + "F D L A\t3\tdefault a\t;\nF D L B\t1\t5\t;\nF D L2 C\t2\t0.5\t;\n");
    state.channel("A", "from channel");
    ASSERT_EQ(save(&state), 0);
    std::string text = get(target);
    auto got = lines(text);
    ASSERT_EQ(got.size(), 7u);
    EXPECT_EQ(got[4], "F D L A\t3\tfrom channel\t;");
    EXPECT_EQ(got[5], "F D L B\t1\t5\t;");
    EXPECT_EQ(got[6], "F D L2 C\t2\t0.5\t;");

    int rc = -1;
    auto got_items = read_items(target, &rc);
    ASSERT_EQ(rc, 0);
    ASSERT_EQ(got_items.size(), 3u);
    EXPECT_EQ(got_items[0].name, "F/D/L/A");
    EXPECT_EQ(got_items[0].value, "from channel");
    EXPECT_EQ(got_items[2].name, "F/D/L2/C");
    EXPECT_EQ(got_items[2].value, "0.5");
    EXPECT_EQ(got_items[2].type, 2);
}

TEST_F(SrSave, EmptyValuesAndTheTemplatesTypeCode) {
    put(tmpl_path, std::string(kHead) + "F D L A\t14\tx\t;\n");
    state.channel("A", "");  // holds text, yet the template's type code is written
    ASSERT_EQ(save(&state), 0);
    EXPECT_EQ(lines(get(target))[4], "F D L A\t14\t\t;");
}

// More lines than the save hands to the file at once, with type codes of every size: the file
// holds exactly the lines of the template in its order, with the channels' values.
TEST_F(SrSave, ManyItemsAndEveryTypeCodeAreWrittenExactly) {
    const int types[] = {0, 3, -1, 2147483647, -2147483647 - 1, 1000000};
    std::string tmpl = kHead;
    std::string want;
    for (int i = 0; i < 6000; ++i) {
        int type = types[i % 6];
        std::string head =
            "FAC DEV LOC" + std::to_string(i / 50) + " P" + std::to_string(i % 50) + "\t" + std::to_string(type) + "\t";
        tmpl += head + "t" + std::to_string(i) + "\t;\n";
        // P0 to P9 come from channels; the others keep the template's value (type 0: two blanks).
        std::string value = i % 50 < 10 ? "channel " + std::to_string(i % 50)
                            : type == 0 ? "  "
                                        : "t" + std::to_string(i);
        want += head + value + "\t;\n";
    }
    for (int p = 0; p < 10; ++p)
        state.channel(("P" + std::to_string(p)).c_str(), ("channel " + std::to_string(p)).c_str());
    put(tmpl_path, tmpl);
    ASSERT_EQ(save(&state), 0);
    std::string text = get(target);
    size_t body = text.find(" ;\n", text.find('\n', text.find('\n') + 1));
    ASSERT_NE(body, std::string::npos);
    EXPECT_TRUE(text.compare(body + 3, std::string::npos, want) == 0);
}

TEST_F(SrSave, AValueHoldingASemicolonCannotInjectItems) {
    put(tmpl_path, std::string(kHead) + "F D L A\t3\tx\t;\nF D L B\t3\ty\t;\n");
    state.channel("A", "left ;F D L B\t3\tinjected");
    ASSERT_EQ(save(&state), 0);
    int rc = -1;
    auto got = read_items(target, &rc);
    ASSERT_EQ(rc, 0);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].value, "left ,F D L B\t3\tinjected");
    EXPECT_EQ(got[1].name, "F/D/L/B");
    EXPECT_EQ(got[1].value, "y");
}

// A state that reads its channels the two ways a state may: W by writing into the caller's buffer,
// O by handing back a copy of its own. It notes the buffers it was given and the texts written.
class BufferState : public FSMstate {
  public:
    BufferState() : FSMstate("S", "buffer source", STATE) {
        srtest::add_text_channel(this, "W", "");
        srtest::add_text_channel(this, "O", "");
    }
    using FSMstate::data_get;
    int data_get(int handle, char** ds, int /*flag*/) override {
        buffers.push_back(*ds);
        if (*ds == nullptr)
            return -1;
        std::string ch = data[static_cast<size_t>(handle & 0xFFFFF)]->name;
        std::string text = ch + " now";
        if (ch == "O") {
            *ds = new char[text.size() + 1];
        }
        strcpy(*ds, text.c_str());
        return 0;
    }
    using FSMstate::data_set;
    int data_set(int handle, char* ds, int flag) override {
        writes.push_back(data[static_cast<size_t>(handle & 0xFFFFF)]->name + "=" + ds);
        return FSMstate::data_set(handle, ds, flag);
    }
    std::vector<char*> buffers;
    std::vector<std::string> writes;
};

TEST_F(SrSave, StatesMayWriteIntoTheBufferOrHandBackTheirOwnText) {
    put(tmpl_path, std::string(kHead) + "F D L W\t3\tw\t;\nF D L O\t3\to\t;\n");
    BufferState bs;
    ASSERT_EQ(save(&bs), 0);
    int rc = -1;
    auto got = read_items(target, &rc);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].value, "W now");
    EXPECT_EQ(got[1].value, "O now");

    // Check and correct reads the same way and writes only the item that differs.
    put(target, std::string(kHead) + "F D L W\t3\tW now\t;\nF D L O\t3\tO before\t;\n");
    EXPECT_EQ(restore_all(const_cast<char*>(target.c_str()), &data, SR_CHECK_CORRECT, 1, &bs), 0);
    EXPECT_EQ(bs.writes, std::vector<std::string>{"O=O before"});
    ASSERT_EQ(bs.buffers.size(), 4u);
    for (char* b : bs.buffers)
        EXPECT_NE(b, nullptr);
}

// A root location whose record property holds a text longer than any buffer of the module.
class SrLongRecord : public SrSave {
  protected:
    SrLongRecord() : loc(ROOT_STATE), note("NOTE", &loc) {
        loc.velko_data = {&note};
        loc.bind();
        std::string text(5000, 'n');
        USTR u{};
        u.str_data.str_data_len = static_cast<int>(text.size()) + 1;
        u.str_data.str_data_val = &text[0];
        note.set_value(&u);
    }
    EqFSMlocation loc;
    D_ustr note;
};

TEST_F(SrLongRecord, ARecordTextLongerThanTheBufferIsCut) {
    put(tmpl_path, std::string(kHead) + "F D L NOTE\t3\tx\t;\n");
    ASSERT_EQ(save(loc.state_ptr), 0);
    int rc = -1;
    auto got = read_items(target, &rc);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].value, std::string(255, 'n'));

    // Check and correct sees a cut text that differs from the stored one and writes the stored one.
    EXPECT_EQ(restore_all(const_cast<char*>(target.c_str()), &data, SR_CHECK_CORRECT, 1, loc.state_ptr), 0);
    EXPECT_STREQ(note.value()->str_data.str_data_val, std::string(255, 'n').c_str());
}

TEST_F(SrSave, TemplateErrorsWriteNothing) {
    EXPECT_EQ(save(&state), 1);
    EXPECT_EQ(data.error(), 302);
    put(tmpl_path, "");
    EXPECT_EQ(save(&state), 1);
    EXPECT_EQ(data.error(), 304);
    put(tmpl_path, "nonsense\n");
    EXPECT_EQ(save(&state), 1);
    EXPECT_EQ(data.error(), 303);
    EXPECT_EQ(access(target.c_str(), F_OK), -1);
}

TEST_F(SrSave, ATargetThatCannotBeCreatedFailsWithoutTouchingData) {
    put(tmpl_path, kHead);
    target = dir + "/no/such/dir/saved.sr";
    EXPECT_EQ(save(&state), 1);
    EXPECT_EQ(data.error(), 0);
    target = dir;  // a directory
    EXPECT_EQ(save(&state), 1);
    EXPECT_EQ(data.error(), 0);
    EXPECT_EQ(sr_save(const_cast<char*>(tmpl_path.c_str()), nullptr, &data, &state), 1);
    EXPECT_EQ(entries(), std::vector<std::string>{"template.sr"});
}

TEST_F(SrSave, APreviousFileIsReplacedWithItsPermissionsKept) {
    put(tmpl_path, std::string(kHead) + "F D L A\t3\tnew\t;\n");
    put(target, "old content that is longer than the new one will be, and more, and more\n");
    chmod(target.c_str(), 0640);
    ASSERT_EQ(save(&state), 0);
    EXPECT_EQ(lines(get(target)).size(), 5u);
    struct stat st;
    ASSERT_EQ(stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    // Nothing else is left in the directory.
    EXPECT_EQ(entries().size(), 2u);
}

TEST_F(SrSave, SavingThroughALinkReplacesTheFileItPointsAt) {
    put(tmpl_path, std::string(kHead) + "F D L A\t3\tnew\t;\n");
    std::string real = dir + "/real.sr";
    put(real, "old\n");
    std::string link = target;
    ASSERT_EQ(symlink(real.c_str(), link.c_str()), 0);
    ASSERT_EQ(save(&state), 0);
    struct stat st;
    ASSERT_EQ(lstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(lines(get(real)).size(), 5u);
}

TEST_F(SrSave, ACrashMidSaveLeavesTheOldFileWhole) {
    put(tmpl_path, std::string(kHead) + "F D L A\t3\ta\t;\nF D L B\t3\tb\t;\n");
    const std::string old = "//Save_&_Restore//\n x ;\n y ;\nF D L A\t3\told\t;\n";
    put(target, old);
    state.channel("A", "first");
    state.channel("B", "second");
    state.kill_on = "B";
    pid_t child = fork();
    if (child == 0) {
        save(&state);
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(get(target), old);
    // The half-written file lies next to it under a name that tells its process.
    auto names = entries();
    ASSERT_EQ(names.size(), 3u);
    EXPECT_EQ(names[0].rfind(".saved.sr.tmp." + std::to_string(child) + ".", 0), 0u) << names[0];
    // The next save removes it, its process having ended.
    state.kill_on.clear();
    ASSERT_EQ(save(&state), 0);
    EXPECT_EQ(entries(), (std::vector<std::string>{"saved.sr", "template.sr"}));
}

TEST_F(SrSave, AFullDiskFailsTheSaveAndKeepsTheOldFile) {
    std::string body = kHead;
    for (int i = 0; i < 50; i++)
        body += "F D L P" + std::to_string(i) + "\t3\t" + std::string(200, 'v') + "\t;\n";
    put(tmpl_path, body);
    const std::string old = "//Save_&_Restore//\n x ;\n y ;\n";
    put(target, old);
    pid_t child = fork();
    if (child == 0) {
        // Files of this process may not grow beyond 4 KiB: writes past that fail like a full disk.
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit lim = {4096, 4096};
        setrlimit(RLIMIT_FSIZE, &lim);
        _exit(save(&state));
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
    EXPECT_EQ(get(target), old);
    EXPECT_EQ(entries().size(), 2u);
}

}  // namespace
