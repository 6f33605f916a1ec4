// Reading save-and-restore files: headers, sections, the item and value rules, hostile input,
// single items, list release and the shared file lock.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "sr_files.h"
#include "sr_reference_reader.h"
#include "velko_test.h"

namespace {

using srtest::items;
using srtest::kHead;

class SrReader : public ::testing::Test {
  protected:
    // Writes content (bytes as given) to a new file of the test directory; returns its path.
    std::string write(const std::string& content) {
        std::string path = tmp.file("f" + std::to_string(count++) + ".sr");
        testsupport::write_file(path, content);
        return path;
    }

    // Reads path with fill_list: its result, and the items in list.
    int read(const std::string& path) {
        std::vector<sr_data*>* p = &list;
        return fill_list(const_cast<char*>(path.c_str()), &data, &p);
    }

    ~SrReader() override { clear_list(&list); }

    testsupport::TempDir tmp;
    const std::string& dir = tmp.path();
    int count = 0;
    std::vector<sr_data*> list;
    velko::EqData data;
};

TEST_F(SrReader, AcceptsBothHeadersAndReadsItemsInFileOrder) {
    std::string body = "F D L P1\t1\t42\t;\nF D L P2\t2\t1.5\t;\nF D L2 P3\t3\thello\t;\n";
    ASSERT_EQ(read(write(kHead + body)), 0);
    std::string ro = kHead;
    ro.replace(0, 18, "//Save_&_Restore_R_O//");
    ASSERT_EQ(read(write(ro + body)), 0);
    auto got = items(list);
    ASSERT_EQ(got.size(), 6u);
    for (size_t i = 0; i < 6; i += 3) {
        EXPECT_EQ(got[i].name, "F/D/L/P1");
        EXPECT_EQ(got[i].value, "42");
        EXPECT_EQ(got[i].type, 1);
        EXPECT_EQ(got[i + 1].name, "F/D/L/P2");
        EXPECT_EQ(got[i + 1].value, "1.5");
        EXPECT_EQ(got[i + 2].name, "F/D/L2/P3");
        EXPECT_EQ(got[i + 2].value, "hello");
        EXPECT_EQ(got[i + 2].type, 3);
    }
}

TEST_F(SrReader, HeaderAndSectionsAloneGiveAnEmptyList) {
    EXPECT_EQ(read(write(kHead)), 0);
    EXPECT_TRUE(list.empty());
    // Sections cut short by the end of the file: still no item and no failure.
    EXPECT_EQ(read(write("//Save_&_Restore// comment without end")), 0);
    EXPECT_TRUE(list.empty());
}

TEST_F(SrReader, FileErrorsCarryTheirCodesAndTexts) {
    EXPECT_EQ(read(dir + "/missing.sr"), 1);
    EXPECT_EQ(data.error(), 302);
    EXPECT_EQ(data.error_text(), "open error");

    EXPECT_EQ(read(write("")), 1);
    EXPECT_EQ(data.error(), 304);
    EXPECT_EQ(data.error_text(), "read error");

    EXPECT_EQ(read(write(" \n\t \r\n")), 1);
    EXPECT_EQ(data.error(), 304);

    EXPECT_EQ(read(write("//Save_&_Restore//x ;\n ;\n")), 1);
    EXPECT_EQ(data.error(), 303);
    EXPECT_EQ(data.error_text(), "not sr file");

    // A directory opens for reading, but reading it fails.
    EXPECT_EQ(read(dir), 1);
    EXPECT_EQ(data.error(), 304);
    EXPECT_EQ(data.error_text(), "read error");
    EXPECT_TRUE(list.empty());
}

TEST_F(SrReader, NullArgumentsAreRefused) {
    std::vector<sr_data*>* none = nullptr;
    std::string path = write(std::string(kHead) + "F D L P\t1\t1\t;\n");
    EXPECT_EQ(fill_list(const_cast<char*>(path.c_str()), &data, nullptr), 1);
    EXPECT_EQ(fill_list(const_cast<char*>(path.c_str()), &data, &none), 1);
    std::vector<sr_data*>* p = &list;
    EXPECT_EQ(fill_list(nullptr, &data, &p), 1);
    EXPECT_EQ(data.error(), 302);
    EXPECT_EQ(open_file(nullptr, nullptr), nullptr);
    clear_list(nullptr);
    clear(nullptr);
}

TEST_F(SrReader, ValueRules) {
    std::string body =
        "F D L EMPTY\t3\t\t;\n"             // empty value: one blank
        "F D L NULL\t0\tignored text\t;\n"  // type 0: two blanks
        "F D L WORDS\t3\ta b\tc  d\t;\n"    // inner blanks and tabs kept
        "F D L LINES\t3\tfirst\nsecond\t;\n"
        "F D L HAND 3 text ;\n"       // the blank before ';' is dropped
        "F D L TWO 3 text  ;\n"       // of two blanks one stays
        "F D L GLUED 3 abc;def\t;\n"  // a ';' inside the first token does not end the value
        "F D L LEADING\t3\t \t  lead\t;\n";
    ASSERT_EQ(read(write(kHead + body)), 0);
    auto got = items(list);
    ASSERT_EQ(got.size(), 8u);
    EXPECT_EQ(got[0].value, " ");
    EXPECT_EQ(got[1].value, "  ");
    EXPECT_EQ(got[1].type, 0);
    EXPECT_EQ(got[2].value, "a b\tc  d");
    EXPECT_EQ(got[3].value, "first\nsecond");
    EXPECT_EQ(got[4].value, "text");
    EXPECT_EQ(got[5].value, "text ");
    EXPECT_EQ(got[6].value, "abc;def");
    EXPECT_EQ(got[7].value, "lead");
}

TEST_F(SrReader, OnlyALoneSemicolonEndsASection) {
    // "word;" does not end the comment; text after the header on its line is comment.
    std::string text = "//Save_&_Restore// more; words; ;\n date; ;\nF D L P\t1\t7\t;\n";
    ASSERT_EQ(read(write(text)), 0);
    auto got = items(list);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].name, "F/D/L/P");
    EXPECT_EQ(got[0].value, "7");
}

TEST_F(SrReader, TruncatedFilesKeepTheCompleteItems) {
    std::string one = std::string(kHead) + "F D L P1\t1\t1\t;\n";
    const char* tails[] = {
        "F",          "F D L", "F D L P2", "F D L P2\t1", "F D L P2\t1\t", "F D L P2\t1\tvalue", "F D L P2\t1\tvalue\t",
        "F D L P2\t-"};
    for (const char* tail : tails) {
        SCOPED_TRACE(tail);
        clear_list(&list);
        ASSERT_EQ(read(write(one + tail)), 0);
        auto got = items(list);
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0].name, "F/D/L/P1");
    }
}

TEST_F(SrReader, CrlfLineEndsReadLikeNewlines) {
    std::string text =
        "//Save_&_Restore//\r\n FSM created Save & Restore file ;\r\n Tue Dec  8 14:33:03 2026\r\n ;\r\n"
        "F D L P1\t1\t5\t;\r\nF D L P2\t3\ttwo words\t;\r\n";
    ASSERT_EQ(read(write(text)), 0);
    auto got = items(list);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].name, "F/D/L/P1");
    EXPECT_EQ(got[0].value, "5");
    EXPECT_EQ(got[1].name, "F/D/L/P2");
    EXPECT_EQ(got[1].value, "two words");
}

TEST_F(SrReader, OverlongPartsAndValuesDropOnlyTheirItem) {
    std::string p64(64, 'p');
    std::string p65(65, 'q');
    std::string v255(255, 'v');
    std::string v256(256, 'w');
    std::string huge(1 << 20, 'h');
    std::string body = "F D L " + p64 + "\t1\t1\t;\n" +    // longest name part: kept
                       "F D " + p65 + " P\t1\t2\t;\n" +    // too long: dropped
                       "F D L P3\t3\t" + v255 + "\t;\n" +  // longest value: kept
                       "F D L P4\t3\t" + v256 + "\t;\n" +  // too long: dropped
                       "F D L P5\t3\t" + huge + "\t;\n" + "F D " + huge + " P\t1\t3\t;\n" + "F D L P6\t3\tx " + huge +
                       " y\t;\n" + "F D L LAST\t1\t9\t;\n";
    ASSERT_EQ(read(write(kHead + body)), 0);
    auto got = items(list);
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0].name, "F/D/L/" + p64);
    EXPECT_EQ(got[1].name, "F/D/L/P3");
    EXPECT_EQ(got[1].value, v255);
    EXPECT_EQ(got[2].name, "F/D/L/LAST");
    EXPECT_EQ(got[2].value, "9");
}

TEST_F(SrReader, HugeTokensInHeaderAndSections) {
    std::string huge(1 << 20, 'h');
    EXPECT_EQ(read(write("//Save_&_Restore//" + huge + " ;\n;\n")), 1);
    EXPECT_EQ(data.error(), 303);
    EXPECT_EQ(read(write("//Save_&_Restore// " + huge + " ;\n" + huge + " ;\nF D L P\t1\t1\t;\n")), 0);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_STREQ(list[0]->name_, "F/D/L/P");
}

TEST_F(SrReader, AValueWithoutSemicolonIsDropped) {
    ASSERT_EQ(read(write(std::string(kHead) + "F D L P1\t1\t1\t;\nF D L P2\t3\tno end here\n")), 0);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_STREQ(list[0]->name_, "F/D/L/P1");
}

TEST_F(SrReader, TypeFieldsThatAreNotNumbers) {
    std::string body =
        "F D L BAD\tint\t5\t;\n"          // not a number: dropped, reading goes on at the ';'
        "F D L BIG\t99999999999\t5\t;\n"  // does not fit an int: dropped
        "F D L GLUED\t12abc\t;\n"         // a number followed by text: the text is the value
        "F D L NEG\t-4\tv\t;\nF D L OK\t+2\t3.5\t;\n";
    ASSERT_EQ(read(write(kHead + body)), 0);
    auto got = items(list);
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0].name, "F/D/L/GLUED");
    EXPECT_EQ(got[0].type, 12);
    EXPECT_EQ(got[0].value, "abc");
    EXPECT_EQ(got[1].type, -4);
    EXPECT_EQ(got[2].name, "F/D/L/OK");
    EXPECT_EQ(got[2].type, 2);
}

TEST_F(SrReader, ItemsThatMakeNoAddressAreDropped) {
    std::string body = std::string("F D/X L P\t1\t1\t;\n") + "F D L\x01 P\t1\t1\t;\n" + "F D " +
                       std::string("L\0Z", 3) + " P\t1\t1\t;\n" + "F D L V\t3\tnul" + std::string("\0", 1) + "x\t;\n" +
                       "F D L GOOD\t1\t1\t;\n";
    ASSERT_EQ(read(write(kHead + body)), 0);
    auto got = items(list);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].name, "F/D/L/GOOD");
}

// Junk and item-shaped lines with faults (parts and values about their length limits, signs,
// NUL bytes, '/', control characters, missing ';', cut at any point): the reader keeps exactly the
// items that the character-by-character reference reader keeps, and every one reads back.
TEST_F(SrReader, BinaryJunkNeverBreaksTheReader) {
    std::mt19937 rng(12345);
    auto text = [&](size_t n, const char* alphabet) {
        std::string t;
        size_t k = strlen(alphabet);
        for (size_t i = 0; i < n; i++)
            t += alphabet[rng() % k];
        return t;
    };
    const char* const types[] = {"3", "-1",         "+7",         "0",           "x",           "-",
                                 "+", "2147483647", "2147483648", "-2147483648", "99999999999", "12ab"};
    for (int round = 0; round < 600; round++) {
        const std::string head = round % 7 == 0 ? "//Save_&_Restore_R_O//\n a ;b ; c\r\n;\n" : kHead;
        std::string junk = head;
        if (round < 200) {
            size_t n = rng() % 4000;
            for (size_t i = 0; i < n; i++) {
                unsigned r = rng() % 10;
                // Mostly tokens and separators, so that items and values actually form.
                junk += r < 2 ? ' ' : r < 3 ? '\t' : r < 4 ? ';' : r < 5 ? '\n' : static_cast<char>(rng() % 256);
            }
        } else {
            for (int line = 0, lines = static_cast<int>(rng() % 40); line < lines; line++) {
                for (int part = 0; part < 4; part++) {
                    unsigned r = rng() % 20;
                    size_t len = r == 0 ? 63 + rng() % 4 : 1 + rng() % 6;
                    junk += text(len, r == 1 ? "ab/" : r == 2 ? "a\x01\x7f" : r == 3 ? "a" : "AZ09_.");
                    if (r == 3)
                        junk += '\0';
                    junk += rng() % 4 == 0 ? "\t" : " ";
                }
                junk += types[rng() % (sizeof types / sizeof types[0])];
                junk += rng() % 3 == 0 ? " " : "\t";
                unsigned v = rng() % 12;
                size_t len = v == 0 ? 250 + rng() % 10 : rng() % 8;
                junk += v == 1 ? std::string(";") : text(len, v == 2 ? "x ;" : v == 3 ? "x\t\n" : "value1");
                if (v == 4)
                    junk += '\0';
                junk += rng() % 10 == 0 ? "" : rng() % 2 == 0 ? "\t;\n" : " ;\r\n";
            }
            size_t cut = rng() % 3 == 0 ? rng() % 30 : 0;
            junk.resize(junk.size() - std::min(cut, junk.size() - head.size()));
        }
        clear_list(&list);
        ASSERT_EQ(read(write(junk)), 0);
        const srref::Result want = srref::read(junk);
        std::vector<srref::Item> got;
        for (const sr_data* d : list) {
            velko::EqAdr adr;
            EXPECT_EQ(adr.adr(d->name_), 0) << d->name_;
            EXPECT_LE(strlen(d->value_), 255u);
            got.push_back({d->name_, d->value_, d->type_});
        }
        ASSERT_EQ(want.error, 0);
        ASSERT_TRUE(got == want.items) << "round " << round << ": " << got.size() << " items, the reference "
                                       << want.items.size();
    }
}

TEST_F(SrReader, GetItemFetchesOneItemByNumber) {
    std::string path = write(std::string(kHead) + "F D L P1\t1\t10\t;\nF D L P2\t2\t2.5\t;\n");
    char* p = const_cast<char*>(path.c_str());
    sr_data record = {nullptr, nullptr, -7};
    sr_data* rp = &record;
    EXPECT_EQ(get_item(p, 0, &rp), 1);
    EXPECT_EQ(get_item(p, -1, &rp), 1);
    EXPECT_EQ(get_item(p, 3, &rp), 1);
    EXPECT_EQ(record.name_, nullptr);
    EXPECT_EQ(record.type_, -7);

    ASSERT_EQ(get_item(p, 2, &rp), 0);
    EXPECT_STREQ(record.name_, "F/D/L/P2");
    EXPECT_STREQ(record.value_, "2.5");
    EXPECT_EQ(record.type_, 2);
    char* old_name = record.name_;
    char* old_value = record.value_;
    ASSERT_EQ(get_item(p, 1, &rp), 0);
    EXPECT_STREQ(record.name_, "F/D/L/P1");
    EXPECT_STREQ(record.value_, "10");
    delete[] old_name;
    delete[] old_value;
    delete[] record.name_;
    delete[] record.value_;

    std::string missing = dir + "/none.sr";
    EXPECT_EQ(get_item(const_cast<char*>(missing.c_str()), 1, &rp), 1);
    EXPECT_EQ(get_item(p, 1, nullptr), 1);
}

TEST_F(SrReader, ClearReleasesNamesAndTheVector) {
    auto* names = new std::vector<char*>;
    names->push_back(new char[4]{'a', 'b', 'c', '\0'});
    names->push_back(nullptr);
    clear(names);  // the leak checker of the sanitizer build sees anything left behind

    ASSERT_EQ(read(write(std::string(kHead) + "F D L P\t1\t1\t;\n")), 0);
    ASSERT_EQ(list.size(), 1u);
    clear_list(&list);
    EXPECT_TRUE(list.empty());
}

// Asks, from another process, whether a write lock on path would conflict: the type of the lock in
// the way (F_RDLCK, F_WRLCK) or F_UNLCK.
int lock_seen_by_other_process(const std::string& path) {
    pid_t child = fork();
    if (child == 0) {
        int fd = open(path.c_str(), O_RDWR);
        struct flock fl = {};
        fl.l_type = F_WRLCK;
        fl.l_whence = SEEK_SET;
        if (fd < 0 || fcntl(fd, F_GETLK, &fl) != 0)
            _exit(100);
        _exit(fl.l_type);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(SrReader, AnOpenFileHoldsASharedLockUntilRead) {
    std::string path = write(std::string(kHead) + "F D L P\t1\t1\t;\n");
    FILE* fp = open_file(const_cast<char*>(path.c_str()), &data);
    ASSERT_NE(fp, nullptr);
    EXPECT_EQ(lock_seen_by_other_process(path), F_RDLCK);
    file_unlock(fileno(fp));
    EXPECT_EQ(lock_seen_by_other_process(path), F_UNLCK);
    file_lock(fileno(fp));
    EXPECT_EQ(lock_seen_by_other_process(path), F_RDLCK);
    fclose(fp);
    // Reading a file through fill_list releases its lock.
    ASSERT_EQ(read(path), 0);
    EXPECT_EQ(lock_seen_by_other_process(path), F_UNLCK);
    // A failed header check releases it too.
    std::string bad = write("not a save file\n");
    EXPECT_EQ(read(bad), 1);
    EXPECT_EQ(lock_seen_by_other_process(bad), F_UNLCK);
}

}  // namespace
