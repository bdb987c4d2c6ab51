// The bitmap of the cube-saving path shared by the window and the command line: a save that fails
// says "unable to save cube" and never removes or truncates an earlier file of the same name.
#include "StorageTestSupport.h"
#include "camera/EngineSupport.h"
#include "storage/CubeSaving.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace {
struct BitmapSource {
    FakeHost host;
    FakeMirror mirror;
    AcquisitionEngine engine{host, mirror};
    ImageProcess picture;
    CubeSaveSource source;
    BitmapSource() {
        engine.AllocateBuffers(CubeGeometry{});
        source.engine = &engine;
        source.picture = &picture;
    }
};

// 0 when a save over an earlier "view" failed with the save message and kept the earlier file.
int SaveOverEarlierFile(const TempDir& dir, BitmapSource& s) {
    const std::string path = dir.File("view");
    WriteFileBytes(path, {'o', 'l', 'd'});
    const CubeSaveResult r = SaveCube(SaveFormat::Bitmap, path, s.source, {});
    if (r.ok || r.message != "unable to save cube")
        return 1;
    if (dir.Entries() != std::vector<std::string>{"view"})
        return 2;
    return ReadFileBytes(path) == std::vector<uint8_t>{'o', 'l', 'd'} ? 0 : 3;
}
} // namespace

TEST(BitmapSave, AFailedSaveKeepsTheEarlierFile) {
    BitmapSource s;
    TempDir dir;
    EXPECT_EQ(RunWithFileSizeLimit(100000, [&] { return SaveOverEarlierFile(dir, s); }), 0);
    const int full = RunOnFullDisk(dir.Path(), 256 * 1024, [&] { return SaveOverEarlierFile(dir, s); });
    if (full != kDiskFaultUnavailable) {
        EXPECT_EQ(full, 0);
    }
    // A folder in the way: refused, the folder stays.
    std::filesystem::remove(dir.File("view"));
    std::filesystem::create_directory(dir.File("view"));
    EXPECT_EQ(SaveCube(SaveFormat::Bitmap, dir.File("view"), s.source, {}).message, "unable to save cube");
    EXPECT_TRUE(std::filesystem::is_directory(dir.File("view")));
    std::filesystem::remove(dir.File("view"));
    // Without a fault the picture replaces an earlier file, under the name as typed, with its line
    // record beside it.
    WriteFileBytes(dir.File("view"), {'o', 'l', 'd'});
    const CubeSaveResult ok = SaveCube(SaveFormat::Bitmap, dir.File("view"), s.source, {});
    ASSERT_TRUE(ok.ok) << ok.message;
    EXPECT_EQ(ReadFileBytes(dir.File("view")).size(), 1085814u);
    EXPECT_EQ(dir.Entries(), (std::vector<std::string>{"view", "view.lines.csv"}));
}
