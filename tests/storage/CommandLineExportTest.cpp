// A program without an application object (a command-line export) gets one from
// EnsureGuiApplication and can then write a labelled movie.
#include "StorageTestSupport.h"
#include "display/Drawing.h"
#include "storage/MovieExport.h"

#include <QGuiApplication>

#include <gtest/gtest.h>

TEST(CommandLineExport, EnsureGuiApplicationMakesTextDrawable) {
    ASSERT_EQ(QCoreApplication::instance(), nullptr);
    EXPECT_THROW(Font("Arial", 25), DrawingError) << "no fonts without an application";
    ASSERT_TRUE(EnsureGuiApplication());
    ASSERT_NE(qobject_cast<QGuiApplication*>(QCoreApplication::instance()), nullptr);
    EXPECT_EQ(QGuiApplication::platformName(), "offscreen");
    EXPECT_TRUE(EnsureGuiApplication()) << "a second call keeps the first application";

    CubeGeometry g;
    g.width = 80;
    g.height = 40;
    g.bands = 2;
    const std::vector<uint16_t> cube(g.CubeValues(), 100);
    TempDir dir;
    const MovieResult r = WriteMovie(dir.File("m.avi"), 100, {1.0, 2.0}, true, cube.data(), g,
                                     std::vector<float>{400.0f, 405.0f});
    ASSERT_TRUE(r) << r.errorText;
    EXPECT_TRUE(FileExists(dir.File("m.avi")));
}
