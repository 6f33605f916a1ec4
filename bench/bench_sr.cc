// Save and restore of a 100 000-item file (1000 locations of 100 properties each) from and to a
// state's text channels, against a plain fprintf/fscanf loop over the same file.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "sr_func.h"

namespace {

constexpr int kLocations = 1000;
constexpr int kProperties = 100;
constexpr int kItems = kLocations * kProperties;

std::string property_name(int p) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "P%02d", p);
    return buf;
}

// The files and the state shared by every benchmark of this program.
class Fixture {
  public:
    Fixture() {
        char pattern[] = "/tmp/bench_sr_XXXXXX";
        const char* made = mkdtemp(pattern);
        if (made == nullptr) {
            std::perror("mkdtemp");
            std::exit(1);
        }
        dir_ = made;
        file = dir_ + "/items.sr";
        saved = dir_ + "/saved.sr";
        plain = dir_ + "/plain.sr";
        for (int p = 0; p < kProperties; ++p) {
            velko::EqData v;
            v.set(std::to_string(1000 + p).c_str());
            state.add_data(property_name(p).c_str(), &v, nullptr);
            values[p] = 1000 + p;
        }
        FILE* fp = std::fopen(file.c_str(), "w");
        std::fputs("//Save_&_Restore//\n FSM created Save & Restore file ;\n Wed Dec  9 03:00:00 2026\n ;\n", fp);
        for (int i = 0; i < kItems; ++i) {
            std::fprintf(fp, "FAC DEV LOC%04d %s\t%d\t%d\t;\n", i / kProperties, property_name(i % kProperties).c_str(),
                         DATA_STRING, 2000 + i % kProperties);
        }
        std::fclose(fp);
    }
    ~Fixture() {
        std::remove(file.c_str());
        std::remove(saved.c_str());
        std::remove(plain.c_str());
        rmdir(dir_.c_str());
    }

    std::string file;
    std::string saved;
    std::string plain;
    FSMstate state{"S", "save and restore", STATE};
    int values[kProperties];

  private:
    std::string dir_;
};

Fixture& fixture() {
    static Fixture f;
    return f;
}

void BM_FsmSave(benchmark::State& st) {
    Fixture& f = fixture();
    velko::EqData data;
    for (auto _ : st) {
        if (sr_save(f.file.data(), f.saved.data(), &data, &f.state) != 0) {
            st.SkipWithError("sr_save failed.");
            return;
        }
    }
    st.SetItemsProcessed(static_cast<int64_t>(st.iterations()) * kItems);
}
BENCHMARK(BM_FsmSave)->Name("SaveRestore/fsm_save")->Unit(benchmark::kMillisecond);

void BM_FsmRestore(benchmark::State& st) {
    Fixture& f = fixture();
    velko::EqData data;
    for (auto _ : st) {
        if (restore_all(f.file.data(), &data, SR_SET_FROM_FILE, 1, &f.state) != 0) {
            st.SkipWithError("restore_all failed.");
            return;
        }
    }
    st.SetItemsProcessed(static_cast<int64_t>(st.iterations()) * kItems);
}
BENCHMARK(BM_FsmRestore)->Name("SaveRestore/fsm_restore")->Unit(benchmark::kMillisecond);

// The plain loop writes the same lines from its own table of names and values.
void BM_PlainSave(benchmark::State& st) {
    Fixture& f = fixture();
    std::vector<std::string> names(kProperties);
    for (int p = 0; p < kProperties; ++p) {
        names[p] = property_name(p);
    }
    for (auto _ : st) {
        FILE* fp = std::fopen(f.plain.c_str(), "w");
        std::fputs("//Save_&_Restore//\n FSM created Save & Restore file ;\n Wed Dec  9 03:00:00 2026\n ;\n", fp);
        for (int i = 0; i < kItems; ++i) {
            char loc[16];
            std::snprintf(loc, sizeof loc, "LOC%04d", i / kProperties);
            std::fprintf(fp, "%s %s %s %s\t%d\t%d\t;\n", "FAC", "DEV", loc, names[i % kProperties].c_str(), DATA_STRING,
                         f.values[i % kProperties]);
        }
        std::fclose(fp);
    }
    st.SetItemsProcessed(static_cast<int64_t>(st.iterations()) * kItems);
}
BENCHMARK(BM_PlainSave)->Name("SaveRestore/plain_save")->Unit(benchmark::kMillisecond);

// The plain loop reads the header tokens, then every item into its table.
void BM_PlainRestore(benchmark::State& st) {
    Fixture& f = fixture();
    for (auto _ : st) {
        FILE* fp = std::fopen(f.file.c_str(), "r");
        char tok[256];
        int semicolons = 0;
        while (semicolons < 2 && std::fscanf(fp, "%255s", tok) == 1) {
            semicolons += tok[0] == ';' && tok[1] == '\0';
        }
        char fac[65], dev[65], loc[65], prop[65], value[256];
        int type = 0;
        int n = 0;
        while (std::fscanf(fp, "%64s %64s %64s %64s %d %255s ;", fac, dev, loc, prop, &type, value) == 6) {
            f.values[std::atoi(prop + 1) % kProperties] = std::atoi(value);
            ++n;
        }
        std::fclose(fp);
        if (n != kItems) {
            st.SkipWithError("The plain loop did not read every item.");
            return;
        }
    }
    st.SetItemsProcessed(static_cast<int64_t>(st.iterations()) * kItems);
}
BENCHMARK(BM_PlainRestore)->Name("SaveRestore/plain_restore")->Unit(benchmark::kMillisecond);

}  // namespace
