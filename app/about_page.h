#pragma once
// CAboutPage: the last page of every settings sheet: the product title with
// its version and build, and the notice text. The template is chosen when
// the page is made: the one with the picture and the build on a second line
// on systems that have spin controls, the plain one otherwise.

#include "app/property_page.h"

#include <memory>

class QLabel;

namespace Ui {
class AboutPage;
class AboutPagePlain;
} // namespace Ui

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
    explicit CAboutPage(unsigned versionWord);
    ~CAboutPage() override;

    bool UsesPictureTemplate() const { return m_pictureTemplate; }

protected:
    void SetupUi() override;
    bool OnInitDialog() override;

private:
    bool m_pictureTemplate;
    std::unique_ptr<Ui::AboutPage> m_picture;
    std::unique_ptr<Ui::AboutPagePlain> m_plain;
    QLabel* m_version = nullptr; // static 1081
    QLabel* m_notice = nullptr;  // static 1082
};
