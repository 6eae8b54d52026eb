#include "app/about_page.h"

#include "app/dialog_templates.h"
#include "app/message_box.h"
#include "ui_about_page.h"
#include "ui_about_page_plain.h"

#include <QApplication>
#include <QPainter>
#include <QPixmap>
#include <QStyle>

namespace {

constexpr unsigned kNoticeStringId = 16385;

// The maker's picture, drawn rather than shipped as a file.
QPixmap MakersPicture()
{
    QPixmap picture(240, 64);
    picture.fill(QColor(0x1f, 0x3a, 0x5f));
    QPainter painter(&picture);
    painter.setPen(Qt::white);
    QFont font = painter.font();
    font.setPointSize(20);
    font.setBold(true);
    font.setLetterSpacing(QFont::AbsoluteSpacing, 3);
    painter.setFont(font);
    painter.drawText(picture.rect(), Qt::AlignCenter, QStringLiteral("TESSALINE"));
    return picture;
}

} // namespace

QString FormatAboutVersion(const QString& format, const QString& title)
{
    QByteArray pattern = format.toUtf8();
    QByteArray name = title.toUtf8();
    return QString::asprintf(pattern.constData(), name.constData(), kAboutMajorVersion, kAboutMinorVersion,
                             static_cast<int>(kAboutVersionLetter), kAboutBuild);
}

CAboutPage::CAboutPage(unsigned versionWord)
    : CPropertyPage(QStringLiteral("About")), m_pictureTemplate(versionWord >= kVersionWithSpinControls)
{
}

CAboutPage::~CAboutPage() = default;

void CAboutPage::SetupUi()
{
    if (m_pictureTemplate) {
        m_picture = std::make_unique<Ui::AboutPage>();
        m_picture->setupUi(this);
        m_picture->pictureTESSALINE->setPixmap(MakersPicture());
        m_version = m_picture->static1081;
        m_notice = m_picture->static1082;
    } else {
        m_plain = std::make_unique<Ui::AboutPagePlain>();
        m_plain->setupUi(this);
        m_plain->picture138->setPixmap(QApplication::style()->standardIcon(QStyle::SP_ComputerIcon).pixmap(32, 32));
        m_version = m_plain->static1081;
        m_notice = m_plain->static1082;
    }
}

bool CAboutPage::OnInitDialog()
{
    bool result = CPropertyPage::OnInitDialog();
    m_version->setText(FormatAboutVersion(m_version->text(), ApplicationTitle()));
    m_notice->setText(LoadQString(kNoticeStringId));
    return result;
}
