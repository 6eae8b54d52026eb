#pragma once
// What the access-control tests share: clicking a control found by its
// designed number, choosing a drop-down item, and the Filter dialog worked
// as a person fills it.

#include "app/kit/control_lookup.h"
#include "app/kit/simple_combo.h"
#include "app_fixture.h"

#include <QComboBox>
#include <QListWidget>

#include <string>

inline void ClickControl(QWidget& root, int id)
{
    auto* button = FindControl<QPushButton>(&root, id);
    ASSERT_NE(button, nullptr) << "no button " << id;
    ASSERT_TRUE(button->isEnabled()) << "button " << id << " is disabled";
    QTest::mouseClick(button, Qt::LeftButton);
}

inline void Choose(QWidget& root, int id, const char* text)
{
    auto* combo = FindControl<QComboBox>(&root, id);
    ASSERT_NE(combo, nullptr) << "no combo " << id;
    int index = combo->findText(QString::fromLatin1(text));
    ASSERT_GE(index, 0) << text << " is not offered by " << id;
    combo->setCurrentIndex(index);
}

inline std::vector<std::string> ListLines(QWidget& root, int id)
{
    std::vector<std::string> lines;
    auto* list = FindControl<QListWidget>(&root, id);
    if (!list)
        return lines;
    for (int row = 0; row < list->count(); ++row)
        lines.push_back(list->item(row)->text().toStdString());
    return lines;
}

// The lines of a simple combo's list.
inline std::vector<std::string> ComboLines(QWidget& root, int id)
{
    std::vector<std::string> lines;
    if (auto* combo = FindControl<CSimpleCombo>(&root, id))
        for (int row = 0; row < combo->Count(); ++row)
            lines.push_back(combo->ItemText(row).toStdString());
    return lines;
}

struct FilterInput {
    const char* permission;
    const char* kind;
    const char* name; // typed into the name field
    const char* access;
    const char* address;
};

// Fills the Filter dialog and presses OK.
inline void FillFilter(QDialog& shown, const FilterInput& input)
{
    Choose(shown, 1038, input.permission);
    Choose(shown, 1039, input.kind);
    auto* name = FindControl<QComboBox>(&shown, 1040);
    ASSERT_NE(name, nullptr);
    Retype(name->lineEdit(), QString::fromLatin1(input.name));
    Choose(shown, 1041, input.access);
    Retype(FindControl<QLineEdit>(&shown, 1042), QString::fromLatin1(input.address));
    ClickControl(shown, 1);
}
