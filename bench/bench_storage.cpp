// Saving a 696 x 520 x 128 cube in each layout and the 128-frame movie, each beside the baseline
// of one plain fwrite of the same number of bytes from a prepared buffer to the same folder.
// The savers do not force the file to the disk before renaming it; the second baseline (fwrite
// followed by fsync) shows what forcing it would cost. The savers reserve the file's room before
// writing it; the third baseline (the same fwrite after reserving the room) shows what that alone
// gives.
#include "storage/CubeWriters.h"
#ifdef ARV_BENCH_HAVE_DRAW
#include "display/Drawing.h"
#include "storage/MovieExport.h"
#endif

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <unistd.h>
#include <vector>

namespace {

const CubeGeometry kGeometry; // 696 x 520 x 128

const std::vector<uint16_t>& Cube() {
    static const std::vector<uint16_t> cube = [] {
        std::vector<uint16_t> c(kGeometry.CubeValues());
        for (size_t i = 0; i < c.size(); ++i)
            c[i] = uint16_t(((i * 2654435761u) >> 20) & 0x0FFF);
        return c;
    }();
    return cube;
}

// A temporary folder beside the other temporary files, removed at exit.
struct BenchFolder {
    std::string path;
    BenchFolder() {
        std::string pattern = (std::filesystem::temp_directory_path() / "arv_bench_XXXXXX").string();
        if (const char* made = ::mkdtemp(pattern.data()))
            path = made;
    }
    ~BenchFolder() {
        std::error_code ec;
        if (!path.empty())
            std::filesystem::remove_all(path, ec);
    }
};

const std::string& Folder() {
    static const BenchFolder folder;
    return folder.path;
}

std::string Target(const char* name) {
    return Folder() + "/" + name;
}

constexpr size_t kStandardBytes = 92950528;
constexpr size_t kBilBytes = 92651520;
constexpr size_t kMovieBytes = 138980584;

void PlainWrite(benchmark::State& state, bool sync, bool reserve = false) {
    const size_t bytes = size_t(state.range(0));
    std::vector<uint8_t> buffer(bytes, 0x5A);
    const std::string path = Target("plain.bin");
    for (auto _ : state) {
        FILE* f = std::fopen(path.c_str(), "wb");
        if (!f) {
            state.SkipWithError("cannot open");
            break;
        }
        if (reserve)
            ::fallocate(fileno(f), FALLOC_FL_KEEP_SIZE, 0, off_t(bytes));
        const size_t n = std::fwrite(buffer.data(), 1, bytes, f);
        if (sync) {
            std::fflush(f);
            ::fsync(fileno(f));
        }
        std::fclose(f);
        if (n != bytes)
            state.SkipWithError("short write");
        state.PauseTiming();
        ::unlink(path.c_str());
        state.ResumeTiming();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(bytes));
}

void BM_PlainFwrite(benchmark::State& state) {
    PlainWrite(state, false);
}
void BM_PlainFwriteFsync(benchmark::State& state) {
    PlainWrite(state, true);
}
void BM_PlainFwriteReserved(benchmark::State& state) {
    PlainWrite(state, false, true);
}

template <class Save> void SaveCube(benchmark::State& state, size_t bytes, Save save) {
    const std::string path = Target("cube.cube");
    const std::vector<uint16_t>& cube = Cube();
    for (auto _ : state) {
        const CubeWriteResult r = save(path, cube);
        if (!r)
            state.SkipWithError(r.message.c_str());
        state.PauseTiming();
        ::unlink(path.c_str());
        state.ResumeTiming();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(bytes));
}

void BM_SaveStandard(benchmark::State& state) {
    const std::vector<uint16_t> dark(kGeometry.LineValues(), 3);
    SaveCube(state, kStandardBytes, [&](const std::string& p, const std::vector<uint16_t>& c) {
        return WriteStandardCubeFile(p, c.data(), kGeometry, dark.data(), CubeHeaderInfo{});
    });
}
void BM_SaveBil(benchmark::State& state) {
    SaveCube(state, kBilBytes, [](const std::string& p, const std::vector<uint16_t>& c) {
        return WriteBilCubeFile(p, c.data(), kGeometry);
    });
}
void BM_SaveBsq(benchmark::State& state) {
    SaveCube(state, kBilBytes, [](const std::string& p, const std::vector<uint16_t>& c) {
        return WriteBsqCubeFile(p, c.data(), kGeometry);
    });
}
void BM_SaveBip(benchmark::State& state) {
    SaveCube(state, kBilBytes, [](const std::string& p, const std::vector<uint16_t>& c) {
        return WriteBipCubeFile(p, c.data(), kGeometry);
    });
}

#define ARV_FILE_BENCH(fn) BENCHMARK(fn)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(8)

ARV_FILE_BENCH(BM_PlainFwrite)->Arg(kStandardBytes)->Arg(kBilBytes)->Arg(kMovieBytes);
ARV_FILE_BENCH(BM_PlainFwriteFsync)->Arg(kStandardBytes)->Arg(kBilBytes)->Arg(kMovieBytes);
ARV_FILE_BENCH(BM_PlainFwriteReserved)->Arg(kBilBytes);
ARV_FILE_BENCH(BM_SaveStandard);
ARV_FILE_BENCH(BM_SaveBil);
ARV_FILE_BENCH(BM_SaveBsq);
ARV_FILE_BENCH(BM_SaveBip);

#ifdef ARV_BENCH_HAVE_DRAW
void BM_SaveMovie(benchmark::State& state) {
    if (!EnsureGuiApplication()) {
        state.SkipWithError("no QGuiApplication");
        return;
    }
    const std::vector<uint16_t>& cube = Cube();
    std::vector<float> waves(size_t(kGeometry.bands));
    for (size_t b = 0; b < waves.size(); ++b)
        waves[b] = 400.0f + 5.0f * float(b);
    const std::string path = Target("movie.avi");
    for (auto _ : state) {
        const std::vector<double> factors = ComputeMovieFactors(cube.data(), kGeometry, true, false, nullptr);
        const MovieResult r = WriteMovie(path, 100, factors, true, cube.data(), kGeometry, waves);
        if (!r)
            state.SkipWithError(r.errorText.c_str());
        state.PauseTiming();
        ::unlink(path.c_str());
        state.ResumeTiming();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kMovieBytes));
}
ARV_FILE_BENCH(BM_SaveMovie);
#endif

} // namespace
