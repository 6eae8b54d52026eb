#include "app/shared/about_page.h"

#include "app/kit/message_box.h"
#include "ui_about_page.h"

#include <QPainter>
#include <QPixmap>

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

CAboutPage::CAboutPage() : CPropertyPage(QStringLiteral("About")) {}

CAboutPage::~CAboutPage() = default;

void CAboutPage::SetupUi()
{
    m_ui = std::make_unique<Ui::AboutPage>();
    m_ui->setupUi(this);
    m_ui->makersPicture->setPixmap(MakersPicture());
}

bool CAboutPage::OnInitDialog()
{
    bool result = CPropertyPage::OnInitDialog();
    m_ui->versionLabel->setText(FormatAboutVersion(m_ui->versionLabel->text(), ApplicationTitle()));
    m_ui->noticeLabel->setText(LoadQString(kNoticeStringId));
    return result;
}
