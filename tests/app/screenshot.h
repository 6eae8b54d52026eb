#pragma once
// Saves a widget as a person sees it, at the size it has, under the build
// folder's tests/app/artefacts, and answers the file's path.

#include "app_fixture.h"

#include <QApplication>
#include <QWidget>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

inline std::string SaveScreenshot(QWidget& widget, const std::string& name)
{
    QApplication::processEvents();
    std::filesystem::path file = ArtefactPath(name + ".png");
    EXPECT_TRUE(widget.grab().save(QString::fromStdString(file.string()), "PNG")) << file;
    EXPECT_GT(std::filesystem::file_size(file), 1000u) << file;
    return file.string();
}
