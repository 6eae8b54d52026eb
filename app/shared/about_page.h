#pragma once
// CAboutPage: the last page of every settings sheet: the product title with
// its version and build, and the notice text: the maker's picture above,
// the build on a second line.

#include "app/kit/property_page.h"

#include <memory>

namespace Ui {
class AboutPage;
}

// What the About page shows of the version: 1.51, no letter, build 12.
inline constexpr unsigned kAboutMajorVersion = 1;
inline constexpr unsigned kAboutMinorVersion = 51;
inline constexpr char kAboutVersionLetter = ' ';
inline constexpr unsigned kAboutBuild = 12;

// Formats the template's text (a printf format taking the title, major,
// minor, letter and build, in that order) with those values.
QString FormatAboutVersion(const QString& format, const QString& title);

class CAboutPage : public CPropertyPage {
    Q_OBJECT
public:
    CAboutPage();
    ~CAboutPage() override;

protected:
    void SetupUi() override;
    bool OnInitDialog() override;

private:
    std::unique_ptr<Ui::AboutPage> m_ui;
};
