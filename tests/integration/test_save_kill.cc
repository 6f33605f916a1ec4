// A process killed with SIGKILL in the middle of saving its configuration or a save-and-restore
// file: the file is afterwards whole, holding the generation before the save or the one being
// saved, never a mix; the temporary file the dead save left is never read in its place and goes
// with the next save. The saver program (tests/integration/saver) is killed at a point where it
// waits on purpose, and at random moments of a run of saves.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "config.h"
#include "generation.h"
#include "journal.h"
#include "sr_func.h"
#include "velko_test.h"

namespace {

using testsupport::ChildProcess;
using testsupport::TempDir;

// Enough items that the half before the pause is more than the save gathers before handing lines
// to its temporary file (64 KiB), so the pause finds that file partly written.
constexpr int kItems = 10000;
constexpr int kRandomRounds = 5;
constexpr auto kBound = std::chrono::seconds(60);

// The temporary files left beside file in dir.
std::vector<std::string> temporaries(const TempDir& dir, const std::string& file) {
    std::vector<std::string> out;
    for (const std::string& name : dir.entries()) {
        if (name.rfind("." + file + ".tmp.", 0) == 0) {
            out.push_back(name);
        }
    }
    return out;
}

// The generation a configuration file holds, or -1 (with a failure) when it is not whole.
long config_generation(const std::string& path) {
    ServerConfig cfg;
    std::string error;
    if (velko::read_config_file(path, &cfg, &error) != 0) {
        ADD_FAILURE() << error;
        return -1;
    }
    long gen = -1;
    std::string pad;
    for (const LocationConfig& loc : cfg.locations) {
        for (const ConfigRecord& rec : loc.records) {
            if (rec.name == "GEN") {
                gen = std::atol(rec.text.c_str());
            } else if (rec.name == "PAD") {
                pad = velko::unquote_text(rec.text);
            }
        }
    }
    EXPECT_EQ(pad, saver::pad_of(gen)) << path << " mixes generations";
    return pad == saver::pad_of(gen) ? gen : -1;
}

// The generation a save file holds, or -1 (with a failure) when it lacks items or mixes them.
long items_generation(const std::string& path) {
    velko::EqData data;
    std::vector<sr_data*> list;
    std::vector<sr_data*>* lp = &list;
    if (fill_list(const_cast<char*>(path.c_str()), &data, &lp) != 0) {
        ADD_FAILURE() << path << ": " << data.get_string();
        return -1;
    }
    long gen = -1;
    bool whole = list.size() == static_cast<size_t>(kItems);
    if (!list.empty() && list[0]->value_[0] == 'g') {
        gen = std::atol(list[0]->value_ + 1);
    }
    for (size_t i = 0; whole && i < list.size(); ++i) {
        whole = list[i]->value_ == saver::item_value_of(gen) &&
                std::string(list[i]->name_) == "TEST.KILL/SR/LOC/P" + std::to_string(i + 1);
    }
    size_t count = list.size();
    clear_list(&list);
    EXPECT_TRUE(whole) << path << " has " << count << " items of " << kItems << ", or mixes generations";
    return whole ? gen : -1;
}

// The last generation the saver reported saved (0 before the first).
long last_saved(const std::string& out_file) {
    const std::string out = testsupport::read_file(out_file);
    size_t at = out.rfind("saved ");
    return at == std::string::npos ? 0 : std::atol(out.c_str() + at + 6);
}

class SaveKill : public ::testing::Test {
  protected:
    void SetUp() override {
        conf = dir.file("gen.conf");
        testsupport::write_file(conf,
                                "facility TEST.KILL\ndevice CONF\nrate 1000\nlocation GEN 10 plain {\n  GEN 0\n}\n");
        tmpl = dir.file("template.sr");
        std::string text = "//Save_&_Restore//\n the items ;\n a date ;\n";
        for (int i = 1; i <= kItems; ++i) {
            text += "TEST.KILL SR LOC P" + std::to_string(i) + "\t3\tinit\t;\n";
        }
        testsupport::write_file(tmpl, text);
        saved = dir.file("saved.sr");
        out = dir.file("out");
        err = dir.file("err");
    }

    std::vector<std::string> config_args(const std::vector<std::string>& extra) const {
        std::vector<std::string> args = {SAVER_PROGRAM, "config", conf};
        args.insert(args.end(), extra.begin(), extra.end());
        return args;
    }
    std::vector<std::string> items_args(const std::vector<std::string>& extra) const {
        std::vector<std::string> args = {SAVER_PROGRAM, "sr", tmpl, saved};
        args.insert(args.end(), extra.begin(), extra.end());
        return args;
    }
    // Waits until the saver printed text.
    bool wait_output(const std::string& text) const {
        return testsupport::poll_until([&] { return testsupport::read_file(out).find(text) != std::string::npos; },
                                       kBound);
    }
    // Runs the saver once more to its end and checks that the save removed the dead one's files.
    void save_once(const std::vector<std::string>& args, const std::string& file) {
        testsupport::ChildOutcome once = testsupport::run_program(args, {}, kBound);
        EXPECT_EQ(once.status, 0) << once.err;
        EXPECT_EQ(temporaries(dir, file), std::vector<std::string>{});
    }

    TempDir dir;
    std::string conf, tmpl, saved, out, err;
};

TEST_F(SaveKill, ConfigurationKilledBeforeItsRenameKeepsTheOldFile) {
    ChildProcess saver;
    ASSERT_TRUE(saver.start(config_args({"--pause"}), {}, out, err));
    ASSERT_TRUE(wait_output("paused")) << testsupport::read_file(err);
    saver.kill(SIGKILL);
    const long before = last_saved(out);
    ASSERT_EQ(before, 1);
    EXPECT_EQ(config_generation(conf), before);
    EXPECT_EQ(temporaries(dir, "gen.conf").size(), 1u);

    // Restarted from the old file, not from the complete temporary file beside it.
    save_once(config_args({"--once"}), "gen.conf");
    EXPECT_EQ(config_generation(conf), before + 1);
}

TEST_F(SaveKill, SaveFileKilledHalfWrittenKeepsTheOldFile) {
    ChildProcess saver;
    ASSERT_TRUE(saver.start(items_args({"--pause", std::to_string(kItems / 2)}), {}, out, err));
    ASSERT_TRUE(wait_output("paused")) << testsupport::read_file(err);
    saver.kill(SIGKILL);
    ASSERT_EQ(last_saved(out), 1);
    EXPECT_EQ(items_generation(saved), 1);
    // The dead save's temporary file holds the start of generation 2, not its end.
    const std::vector<std::string> left = temporaries(dir, "saved.sr");
    ASSERT_EQ(left.size(), 1u);
    const std::string partial = testsupport::read_file(dir.file(left[0]));
    EXPECT_NE(partial.find("P1\t3\tg2\t;"), std::string::npos);
    EXPECT_EQ(partial.find("P" + std::to_string(kItems) + "\t"), std::string::npos);

    save_once(items_args({"--once"}), "saved.sr");
    EXPECT_EQ(items_generation(saved), 1);
}

// Killed at random moments of a run of saves: the file always holds the last generation reported
// saved or the one after it, whole.
TEST_F(SaveKill, KilledAtRandomMomentsEveryFileIsWhole) {
    struct Case {
        const char* what;
        std::vector<std::string> run;
        std::vector<std::string> once;
        std::string file;
        long (*generation)(const std::string&);
    };
    const Case cases[] = {
        {"configuration", config_args({}), config_args({"--once"}), conf, config_generation},
        {"save file", items_args({}), items_args({"--once"}), saved, items_generation},
    };
    std::mt19937 random(12);
    std::uniform_int_distribution<int> delay_ms(0, 80);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        for (int round = 0; round < kRandomRounds; ++round) {
            testsupport::write_file(out, "");
            ChildProcess saver;
            ASSERT_TRUE(saver.start(c.run, {}, out, err));
            ASSERT_TRUE(wait_output("saved")) << testsupport::read_file(err);
            std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms(random)));
            saver.kill(SIGKILL);
            const long reported = last_saved(out);
            const long gen = c.generation(c.file);
            EXPECT_TRUE(gen == reported || gen == reported + 1)
                << "round " << round << ": generation " << gen << ", last reported " << reported;
        }
        const size_t slash = c.file.rfind('/');
        save_once(c.once, c.file.substr(slash + 1));
        EXPECT_GT(c.generation(c.file), 0);
    }
    // The configuration's backup is a whole earlier generation too.
    EXPECT_GT(config_generation(conf + ".bak"), 0);
}

}  // namespace
