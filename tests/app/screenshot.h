#pragma once
// Saves a widget as the person sees it, under the build folder's
// tests/app/artefacts, and answers the file's path.

#include <QApplication>
#include <QWidget>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

inline std::filesystem::path SaveScreenshot(QWidget& widget, const std::string& name)
{
    QApplication::processEvents();
    // A sheet takes its size before it builds the page it opens on; the
    // picture shows the size that page asks for.
    widget.resize(widget.size().expandedTo(widget.sizeHint()));
    QApplication::processEvents();
    const char* bin = std::getenv("VELMORA_TEST_BIN_DIR");
    std::filesystem::path folder = std::filesystem::path(bin ? bin : ".") / "tests/app/artefacts";
    std::filesystem::create_directories(folder);
    std::filesystem::path file = folder / (name + ".png");
    EXPECT_TRUE(widget.grab().save(QString::fromStdString(file.string()))) << file;
    EXPECT_GT(std::filesystem::file_size(file), 1000u) << file;
    return file;
}
