#pragma once
// What the desktop kit's tests share: a QApplication on the offscreen
// platform, message boxes answered from a script (every text kept), and
// modal dialogs worked by a script instead of a person.

#include "app/kit/control_lookup.h"
#include "app/kit/message_box.h"
#include "app/kit/modal_runner.h"

#include <QApplication>
#include <QDialog>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QString>
#include <QTest>

#include <gtest/gtest.h>

#include <cstdlib>
#include <deque>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

struct ShownMessage {
    std::string text;
    unsigned type = 0;
    unsigned helpId = 0;
};

// Answers message boxes from a queue (OK, or No for a Yes/No box, when it
// runs dry) and records every one.
class ScriptedMessageBoxes : public IMessageBoxes {
public:
    ScriptedMessageBoxes() { SetMessageBoxes(this); }
    ~ScriptedMessageBoxes() override { SetMessageBoxes(nullptr); }

    int Show(QWidget*, const QString& text, unsigned type, unsigned helpId) override
    {
        shown.push_back({text.toStdString(), type, helpId});
        if (!answers.empty()) {
            int answer = answers.front();
            answers.pop_front();
            return answer;
        }
        return (type & kMbButtonMask) == kMbYesNo ? kIdNo : kIdOk;
    }

    std::vector<ShownMessage> shown;
    std::deque<int> answers;
};

// Runs each modal dialog by the next step of a script: the step gets the
// dialog shown (not modal) and works it as a person would; the result is
// whether the dialog ended accepted. A dialog with no step left is cancelled
// and counted, so a test that forgot one fails instead of hanging.
class ScriptedRunner : public IModalRunner {
public:
    using Step = std::function<void(QDialog&)>;
    ScriptedRunner() { SetModalRunner(this); }
    ~ScriptedRunner() override { SetModalRunner(nullptr); }

    int Run(QDialog& dialog) override
    {
        ++runs;
        dialog.setResult(QDialog::Rejected);
        dialog.show();
        QApplication::processEvents();
        if (steps.empty()) {
            ++unscripted;
            dialog.reject();
        } else {
            Step step = std::move(steps.front());
            steps.pop_front();
            step(dialog);
        }
        QApplication::processEvents();
        bool accepted = dialog.result() == QDialog::Accepted;
        dialog.hide();
        return accepted ? kIdOk : kIdCancel;
    }

    std::deque<Step> steps;
    int runs = 0;
    int unscripted = 0;
};

template <class Widget = QWidget>
Widget* Find(QWidget& parent, const char* name)
{
    Widget* widget = parent.findChild<Widget*>(QString::fromLatin1(name));
    EXPECT_NE(widget, nullptr) << "no widget named " << name;
    return widget;
}

// The control with the designed number id below parent.
template <class Widget = QWidget>
Widget* Control(QWidget& parent, int id)
{
    Widget* widget = FindControl<Widget>(&parent, id);
    EXPECT_NE(widget, nullptr) << "no control " << id;
    return widget;
}

// What keeps a shown page from reading cleanly: two controls of one layout
// on top of each other, or a wrapped text cut short. Empty when none.
inline std::string ReadingFault(QWidget& page)
{
    std::vector<QWidget*> holders{&page};
    for (QWidget* w : page.findChildren<QWidget*>())
        holders.push_back(w);
    for (QWidget* holder : holders) {
        if (!holder->layout() || !holder->isVisible())
            continue;
        std::vector<QWidget*> shown;
        for (QWidget* child : holder->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
            if (child->isVisible())
                shown.push_back(child);
        for (std::size_t i = 0; i < shown.size(); ++i)
            for (std::size_t j = i + 1; j < shown.size(); ++j)
                if (shown[i]->geometry().intersects(shown[j]->geometry()))
                    return (shown[i]->objectName() + " overlaps " + shown[j]->objectName()).toStdString();
    }
    for (QLabel* label : page.findChildren<QLabel*>())
        if (label->isVisible() && label->wordWrap() && label->height() < label->heightForWidth(label->width()))
            return (label->objectName() + " is cut short").toStdString();
    return {};
}

// Where tests keep what a person would look at (PNG screenshots).
// VELMORA_ARTEFACT_DIR names another folder (the pictures drawn on X).
inline std::filesystem::path ArtefactPath(const std::string& name)
{
    const char* bin = std::getenv("VELMORA_TEST_BIN_DIR");
    const char* chosen = std::getenv("VELMORA_ARTEFACT_DIR");
    std::filesystem::path folder =
        chosen ? std::filesystem::path(chosen) : std::filesystem::path(bin ? bin : ".") / "tests/app/artefacts";
    std::filesystem::create_directories(folder);
    return folder / name;
}

// Replaces an edit's text by typing, as a person would.
inline void Retype(QLineEdit* edit, const QString& text)
{
    edit->setFocus();
    edit->selectAll();
    QTest::keyClick(edit, Qt::Key_Delete);
    QTest::keyClicks(edit, text);
}
