// History properties and archive files: ring buffer, booking, records that survive reopening and
// damaged files.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <memory>
#include <thread>

#include "journal.h"
#include "velko.h"
#include "velko_test.h"

using testsupport::read_file;
using testsupport::TempDir;

namespace {

class Loc : public EqFct {
  public:
    Loc() : EqFct("LOC") {}
};

TDS rec(time_t tm, float v, uint8_t status = 0) {
    return TDS{tm, v, status};
}

}  // namespace

TEST(DHist, RingKeepsTheNewestRecordsAndAReadReturnsThem) {
    Loc loc;
    D_hist h("HIST", &loc, 3);
    EXPECT_EQ(h.data_type(), DATA_A_TDS);
    for (int i = 1; i <= 5; ++i) {
        TDS r = rec(100 + i, static_cast<float>(i), static_cast<uint8_t>(i));
        int result = -9;
        h.fill_hist(&r, &result);
        EXPECT_EQ(result, 0);
    }
    std::vector<TDS> recs = h.records();
    ASSERT_EQ(recs.size(), 3u);
    EXPECT_FLOAT_EQ(recs[0].data, 3.0f);
    EXPECT_FLOAT_EQ(recs[2].data, 5.0f);

    EqAdr adr;
    adr.set("F", "LOC", "D", "HIST");
    EqData in;
    EqData out;
    loc.get(&adr, &in, &out);
    EXPECT_EQ(out.error(), 0);
    EXPECT_EQ(out.type(), DATA_A_TDS);
    ASSERT_EQ(out.length(), 3);
    EXPECT_EQ(out.get_tds(0)->tm, 103);
    EXPECT_EQ(out.get_tds(2)->status, 5);
    h.fill_hist(nullptr, nullptr);
    EXPECT_EQ(h.records().size(), 3u);
}

TEST(DHist, RemoteWritesAppendRecords) {
    Loc loc;
    D_hist h("HIST", &loc);
    EqAdr adr;
    adr.set("F", "LOC", "D", "HIST");
    EqData in;
    EqData out;
    in.set(2.5f);
    loc.set(&adr, &in, &out);
    EXPECT_EQ(out.error(), 0);
    in.init();
    in.set(rec(7, 1.0f), 0);
    in.set(rec(8, 2.0f), 1);
    loc.set(&adr, &in, &out);
    ASSERT_EQ(h.records().size(), 3u);
    EXPECT_EQ(h.records()[2].tm, 8);
    in.set("text");
    loc.set(&adr, &in, &out);
    EXPECT_NE(out.error(), 0);
    EXPECT_EQ(h.records().size(), 3u);
}

TEST(ArchiveFile, RecordsSurviveReopening) {
    TempDir dir;
    std::string hist = dir.file("m.hist");
    {
        ArchiveFile a(hist, nullptr, false);
        ASSERT_TRUE(a.ok()) << a.error();
        EXPECT_EQ(a.data_name(), dir.file("m.data"));
        int x = a.book("LOC.X");
        int y = a.book("LOC.Y");
        EXPECT_EQ(x, 0);
        EXPECT_EQ(y, 1);
        EXPECT_EQ(a.book("LOC.X"), x);
        EXPECT_EQ(a.append(x, rec(10, 1.5f, 1)), 0);
        EXPECT_EQ(a.append(y, rec(11, -2.0f)), 0);
        EXPECT_EQ(a.append(x, rec(12, 3.25f)), 0);
        EXPECT_EQ(a.append(7, rec(13, 0.0f)), -1);
        EXPECT_EQ(a.read("LOC.X").size(), 2u);
    }
    ArchiveFile b(hist, dir.file("m.data").c_str(), false);
    ASSERT_TRUE(b.ok()) << b.error();
    std::vector<TDS> x = b.read("LOC.X");
    ASSERT_EQ(x.size(), 2u);
    EXPECT_EQ(x[0].tm, 10);
    EXPECT_FLOAT_EQ(x[0].data, 1.5f);
    EXPECT_EQ(x[0].status, 1);
    EXPECT_FLOAT_EQ(x[1].data, 3.25f);
    EXPECT_EQ(b.read("LOC.Y").size(), 1u);
    EXPECT_TRUE(b.read("NONE").empty());
    // Booking goes on after the ids the index holds.
    EXPECT_EQ(b.book("LOC.Z"), 2);
}

TEST(ArchiveFile, TruncateStartsEmpty) {
    TempDir dir;
    {
        ArchiveFile a(dir.file("m.hist"), nullptr, false);
        a.append(a.book("C"), rec(1, 1.0f));
    }
    ArchiveFile b(dir.file("m.hist"), nullptr, true);
    ASSERT_TRUE(b.ok());
    EXPECT_TRUE(b.read("C").empty());
    EXPECT_EQ(b.book("D"), 0);
}

TEST(ArchiveFile, CutRecordAndCutIndexLineAreDroppedOnOpen) {
    TempDir dir;
    {
        ArchiveFile a(dir.file("m.hist"), nullptr, false);
        int c = a.book("C");
        a.append(c, rec(1, 1.0f));
        a.append(c, rec(2, 2.0f));
    }
    // A crash in the middle of a record and of an index line.
    ASSERT_EQ(truncate(dir.file("m.data").c_str(), 16 + 20 + 7), 0);
    {
        std::ofstream idx(dir.file("m.hist"), std::ios::app);
        idx << "5 HALF";
    }
    ArchiveFile b(dir.file("m.hist"), nullptr, false);
    ASSERT_TRUE(b.ok()) << b.error();
    std::vector<TDS> recs = b.read("C");
    ASSERT_EQ(recs.size(), 1u);
    EXPECT_EQ(recs[0].tm, 1);
    EXPECT_EQ(b.book("NEXT"), 1);
    EXPECT_EQ(b.append(1, rec(3, 3.0f)), 0);
    EXPECT_EQ(b.read("NEXT").size(), 1u);
    EXPECT_EQ(read_file(dir.file("m.hist")), "# velko archive index 1\n0 C\n1 NEXT\n");
}

TEST(ArchiveFile, ForeignOrUnwritableFilesAreRefused) {
    TempDir dir;
    testsupport::write_file(dir.file("x.hist"), "some other file\n");
    ArchiveFile a(dir.file("x.hist"), nullptr, false);
    EXPECT_FALSE(a.ok());
    EXPECT_EQ(a.error(), "The file " + dir.file("x.hist") + " is not a velko archive index.");
    EXPECT_EQ(a.book("C"), -1);
    EXPECT_EQ(a.append(0, rec(1, 1.0f)), -1);

    testsupport::write_file(dir.file("y.data"), "not an archive at all");
    ArchiveFile b(dir.file("y.hist"), nullptr, false);
    EXPECT_FALSE(b.ok());
    EXPECT_EQ(b.error(), "The file " + dir.file("y.data") + " is not a velko archive data file.");

    ArchiveFile c(dir.file("missing/dir/z.hist"), nullptr, false);
    EXPECT_FALSE(c.ok());
    EXPECT_NE(c.error().find("Cannot open the archive index " + dir.file("missing/dir/z.hist")), std::string::npos);
}

// What is ours: an index that starts with its whole header line, a data file that starts with
// its header. Only the start of a header is ours too (cut while the file was created) and begins
// anew; anything else is refused and left byte for byte as it was, with or without a final newline.
TEST(ArchiveFile, ForeignFilesStayUntouchedAndCutHeadersBeginAnew) {
    const std::string header = "# velko archive index 1\n";
    const std::string data_header("VELKOARC\x01\0\0\0\x14\0\0\0", 16);
    struct Case {
        std::string hist;  // the index before the open ("" when absent)
        std::string data;  // the data file before the open ("" when absent)
        bool ours;
    };
    // clang-format off
    const Case cases[] = {
        {"some other file",                  "",                       false},
        {"# velko archive index 2\n0 C\n",   "",                       false},
        {"# velko archive index 1 and more", "",                       false},
        {"# velko arch",                     "",                       true},
        {"# velko archive index 1",          "",                       true},
        {header + "0 C",                     data_header,              true},
        {header,                             "VELKOA",                 true},
        {header,                             "VELKOAR?",               false},
    };
    // clang-format on
    for (const Case& c : cases) {
        TempDir dir;
        const std::string hist = dir.file("m.hist");
        const std::string data = dir.file("m.data");
        testsupport::write_file(hist, c.hist);
        if (!c.data.empty()) {
            testsupport::write_file(data, c.data);
        }
        {
            ArchiveFile a(hist, nullptr, false);
            EXPECT_EQ(a.ok(), c.ours) << c.hist << " / " << c.data << ": " << a.error();
            if (!c.ours) {
                EXPECT_EQ(read_file(hist), c.hist);
                EXPECT_EQ(read_file(data), c.data);
                continue;
            }
            EXPECT_EQ(a.book("NEW"), 0);
            EXPECT_EQ(a.append(0, rec(5, 5.0f)), 0);
        }
        ArchiveFile again(hist, nullptr, false);
        ASSERT_TRUE(again.ok()) << again.error();
        EXPECT_EQ(read_file(hist), header + "0 NEW\n");
        EXPECT_EQ(again.read("NEW").size(), 1u);
    }
}

TEST(ArchiveFile, RelativeNamesGoToTheArchiveDirectory) {
    TempDir dir;
    velko::set_archive_directory(dir.path());
    ArchiveFile a("machine.hist", "machine.data", false);
    EXPECT_TRUE(a.ok()) << a.error();
    EXPECT_EQ(a.hist_name(), dir.file("machine.hist"));
    EXPECT_TRUE(testsupport::file_exists(dir.file("machine.data")));
    velko::set_archive_directory("");
}

TEST(DHist, BookedHistoryIsArchivedAndRefilledAfterARestart) {
    TempDir dir;
    Loc loc;
    {
        ArchiveFile archive(dir.file("m.hist"), nullptr, false);
        D_hist h("TEMP a temperature", &loc, 100);
        h.book_hist(&archive, "ROOM", 0, 200, property_and_location);
        EXPECT_EQ(h.archive_name(), "ROOM.TEMP");
        for (int i = 0; i < 4; ++i) {
            TDS r = rec(50 + i, 10.0f + i);
            int result = -1;
            h.fill_hist(&r, &result);
            EXPECT_EQ(result, 0);
        }
        D_hist other("TEMP", &loc);
        other.book_hist(&archive, "ROOM", 0, 200, property_only);
        EXPECT_EQ(other.archive_name(), "TEMP");
    }
    ArchiveFile again(dir.file("m.hist"), nullptr, false);
    ASSERT_EQ(again.read("ROOM.TEMP").size(), 4u);
    D_hist restarted("TEMP", &loc, 100);
    restarted.book_hist(&again, "ROOM", 0, 3, property_and_location);
    std::vector<TDS> recent = restarted.records();
    ASSERT_EQ(recent.size(), 3u);  // the last `size` records
    EXPECT_EQ(recent[0].tm, 51);
    EXPECT_EQ(recent[2].tm, 53);

    D_hist unbooked("U", &loc);
    unbooked.book_hist(nullptr, "ROOM", 0, 200, property_and_location);
    EXPECT_EQ(unbooked.archive_name(), "");
}

TEST(DHist, AnUnusableArchiveLeavesTheRingBufferWorking) {
    TempDir dir;
    Loc loc;
    testsupport::write_file(dir.file("bad.hist"), "not an index\n");
    ArchiveFile bad(dir.file("bad.hist"), nullptr, false);
    D_hist h("H", &loc);
    h.book_hist(&bad, "L", 0, 200, property_and_location);
    TDS r = rec(1, 1.0f);
    int result = 0;
    h.fill_hist(&r, &result);
    EXPECT_EQ(result, 0);  // not booked: ring buffer only
    EXPECT_EQ(h.records().size(), 1u);
}

TEST(DHist, AClosedArchiveLeavesItsHistoriesOnTheRingBuffer) {
    TempDir dir;
    Loc loc;
    D_hist h("H", &loc);
    D_hist other("OTHER", &loc);
    auto archive = std::make_unique<ArchiveFile>(dir.file("m.hist"), nullptr, false);
    h.book_hist(archive.get(), "L", 0, 200, property_and_location);
    other.book_hist(archive.get(), "L", 0, 200, property_and_location);
    TDS first = rec(1, 1.0f);
    h.fill_hist(&first, nullptr);
    archive.reset();  // as a machine's root deletes its archive while the location lives on

    TDS second = rec(2, 2.0f);
    int result = -1;
    h.fill_hist(&second, &result);
    EXPECT_EQ(result, 0);
    other.fill_hist(&second, &result);
    EXPECT_EQ(result, 0);
    ASSERT_EQ(h.records().size(), 2u);
    EXPECT_EQ(h.records()[1].tm, 2);
    EXPECT_EQ(h.archive_name(), "L.H");

    ArchiveFile reopened(dir.file("m.hist"), nullptr, false);
    ASSERT_EQ(reopened.read("L.H").size(), 1u);  // only what came before the close
    EXPECT_TRUE(reopened.read("L.OTHER").empty());
}

TEST(DHist, HistoriesGoneOrRebookedBeforeTheArchiveAreNotTouchedByItsClose) {
    TempDir dir;
    Loc loc;
    ArchiveFile first(dir.file("first.hist"), nullptr, false);
    {
        D_hist gone("GONE", &loc);
        gone.book_hist(&first, "L", 0, 200, property_only);
    }
    D_hist moved("MOVED", &loc);
    {
        ArchiveFile old(dir.file("old.hist"), nullptr, false);
        moved.book_hist(&old, "L", 0, 200, property_only);
        moved.book_hist(&first, "L", 0, 200, property_only);
    }  // closing the archive it left does not unbook it from the one it moved to
    TDS r = rec(5, 5.0f);
    moved.fill_hist(&r, nullptr);
    EXPECT_EQ(first.read("MOVED").size(), 1u);
    ArchiveFile old_again(dir.file("old.hist"), nullptr, false);
    EXPECT_TRUE(old_again.read("MOVED").empty());
}

TEST(DHist, ClosingTheArchiveWhileAnotherThreadFillsTheHistory) {
    TempDir dir;
    Loc loc;
    constexpr int kRecords = 2000;
    D_hist h("H", &loc, kRecords);
    auto archive = std::make_unique<ArchiveFile>(dir.file("m.hist"), nullptr, false);
    h.book_hist(archive.get(), "L", 0, 200, property_only);
    std::atomic<int> filled{0};
    std::atomic<int> failures{0};
    std::thread filler([&] {
        for (int i = 0; i < kRecords; ++i) {
            TDS r = rec(i, static_cast<float>(i));
            int result = -1;
            h.fill_hist(&r, &result);
            failures += result != 0 ? 1 : 0;
            ++filled;
        }
    });
    ASSERT_TRUE(testsupport::poll_until([&] { return filled.load() > 0; }));
    archive.reset();
    filler.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(h.records().size(), static_cast<size_t>(kRecords));
    // The archive holds an unbroken run of the first records, as many as came before the close.
    ArchiveFile reopened(dir.file("m.hist"), nullptr, false);
    std::vector<TDS> stored = reopened.read("H");
    ASSERT_FALSE(stored.empty());
    ASSERT_LE(stored.size(), static_cast<size_t>(kRecords));
    for (size_t i = 0; i < stored.size(); ++i) {
        ASSERT_EQ(stored[i].tm, static_cast<time_t>(i));
    }
}
