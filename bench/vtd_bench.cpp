// Times TVirtualTable::SaveToFile and LoadFromFile on a disk script of a given number of rows; the
// script vtd_bench.sh runs it beside cat and cp of the same file.
//   vtd_bench save ROWS FILE   builds the table in memory (not timed), saves it (timed)
//   vtd_bench load FILE        loads the file (timed)
// Each prints one line "seconds=S rows=R bytes=B".
#include "UVirtualTable.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

// Four text columns as a disk script has them; the answers are hex pairs of 0 to 8,000 characters.
void BuildScript(TVirtualTable& t, long rows) {
    t.AddField("CMDRequest", ftString, 200);
    t.AddField("CMDRemark", ftString, 100);
    t.AddField("CMDResponse", ftString, 8000);
    t.AddField("ExecStatusC", ftString, 2);
    t.Open();
    uint64_t seed = 42;
    auto next = [&seed] {
        seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
        return seed >> 33;
    };
    static const char* digits = "0123456789abcdef";
    std::string answer;
    for (long r = 0; r < rows; ++r) {
        size_t pairs = next() % 2667; // up to 8,000 characters with the spaces
        answer.clear();
        answer.reserve(pairs * 3);
        for (size_t i = 0; i < pairs; ++i) {
            unsigned byte = static_cast<unsigned>(next() & 0xFF);
            if (i)
                answer += ' ';
            answer += digits[byte >> 4];
            answer += digits[byte & 15];
        }
        t.AppendRecord({TdsValue::Text("fc ff cc bc 53 e1 a5"),
                        TdsValue::Text(r % 2 ? "指令不详" : "备注不详"), TdsValue::Text(answer),
                        TdsValue::Text(r % 3 ? "1" : "0")});
    }
}

double Seconds(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

} // namespace

int main(int argc, char** argv) {
    std::string mode = argc > 1 ? argv[1] : "";
    try {
        if (mode == "save" && argc == 4) {
            TVirtualTable t;
            BuildScript(t, std::atol(argv[2]));
            auto start = std::chrono::steady_clock::now();
            t.SaveToFile(argv[3]);
            double s = Seconds(start);
            std::printf("seconds=%.6f rows=%d bytes=%ju\n", s, t.StoredRecordCount(),
                        static_cast<uintmax_t>(std::filesystem::file_size(argv[3])));
            return 0;
        }
        if (mode == "load" && argc == 3) {
            TVirtualTable t;
            auto start = std::chrono::steady_clock::now();
            t.LoadFromFile(argv[2]);
            double s = Seconds(start);
            std::printf("seconds=%.6f rows=%d bytes=%ju\n", s, t.RecordCount(),
                        static_cast<uintmax_t>(std::filesystem::file_size(argv[2])));
            return 0;
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "vtd_bench: %s\n", e.what());
        return 1;
    }
    std::fprintf(stderr, "usage: vtd_bench save ROWS FILE | vtd_bench load FILE\n");
    return 2;
}
