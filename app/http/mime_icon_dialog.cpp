#include "app/http/mime_icon_dialog.h"

#include "ui_mime_icon_dialog.h"

#include "app/kit/list_pattern.h"
#include "app/kit/message_box.h"
#include "config/string_maps.h"

#include <QLineEdit>

#include <algorithm>

namespace {

constexpr unsigned kDuplicateIconStringId = 2061;

} // namespace

CMimeIconDialog::CMimeIconDialog(CRegStringMap& icons, CRegStringMap& types, QWidget* parent)
    : CExchangeDialog(parent), m_icons(icons), m_types(types)
{
}

CMimeIconDialog::~CMimeIconDialog() = default;

void CMimeIconDialog::SetupUi()
{
    m_ui = std::make_unique<Ui::MimeIconDialog>();
    m_ui->setupUi(this);
    connect(m_ui->okButton, &QPushButton::clicked, this, &CMimeIconDialog::accept);
    connect(m_ui->cancelButton, &QPushButton::clicked, this, &CMimeIconDialog::reject);
    connect(m_ui->iconUrlEdit, &QLineEdit::textChanged, this, &CMimeIconDialog::UpdateOkButton);
    connect(m_ui->mimeTypeBox, &QComboBox::editTextChanged, this, &CMimeIconDialog::UpdateOkButton);
    connect(m_ui->mimeTypeBox, &QComboBox::currentIndexChanged, this, &CMimeIconDialog::UpdateOkButton);
}

bool CMimeIconDialog::OnInitDialog()
{
    // The exchange runs while the box is empty, so the MIME type shows as typed.
    bool result = CExchangeDialog::OnInitDialog();
    const QString shown = m_ui->mimeTypeBox->currentText();
    // Each MIME type once, however many keys map to it; a type that merely
    // begins another (video/mpeg, video/mpeg4) is a type of its own.
    QStringList types;
    for (const auto& [key, value] : m_types.GetEntriesAsHeld()) {
        const QString type = QString::fromStdString(value);
        const bool listed = std::any_of(types.begin(), types.end(), [&type](const QString& held) {
            return held.compare(type, Qt::CaseInsensitive) == 0;
        });
        if (!listed)
            types.push_back(type);
    }
    std::sort(types.begin(), types.end(), LessIgnoringCase);
    m_ui->mimeTypeBox->blockSignals(true);
    m_ui->mimeTypeBox->addItems(types);
    m_ui->mimeTypeBox->setCurrentIndex(-1);
    m_ui->mimeTypeBox->setEditText(shown);
    m_ui->mimeTypeBox->blockSignals(false);
    UpdateOkButton();
    return result;
}

void CMimeIconDialog::UpdateOkButton()
{
    m_ui->okButton->setEnabled(!m_ui->iconUrlEdit->text().isEmpty() &&
                               !m_ui->mimeTypeBox->currentText().isEmpty());
}

void CMimeIconDialog::DoDataExchange(CDataExchange& dx)
{
    dx.ComboString(m_ui->mimeTypeBox, MIMEType);
    dx.MaxChars(MIMEType, kMaxMimeIconChars);
    dx.Text(m_ui->iconUrlEdit, IconURL);
    dx.MaxChars(IconURL, kMaxMimeIconChars);
    if (!dx.m_bSaveAndValidate)
        return;
    std::string existing;
    bool found;
    {
        CEventLockHolder hold(m_icons.GetLock());
        found = m_icons.Lookup(FoldKey(MIMEType), existing);
    }
    if (found) {
        // The failure focuses the field exchanged last, the icon URL.
        VelmoraMessageBox(this, kDuplicateIconStringId, kMbOk | kMbIconExclamation);
        dx.Fail(QString());
    }
}
