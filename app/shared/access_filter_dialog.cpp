#include "app/shared/access_filter_dialog.h"

#include "ui_access_filter_dialog.h"

#include "app/kit/message_box.h"
#include "config/access_list.h"
#include "config/group_map.h"
#include "config/user_map.h"

#include <QLineEdit>

namespace {

// The characters that end a field or a line when the line is read back,
// and the colon no user or group name may hold.
constexpr std::string_view kNameSeparators = ", \t\r\n:";

} // namespace

std::string ComposeAccessLine(const CAccessFilter& filter)
{
    return filter.permission + "-" + filter.kind + ": " + filter.accessType + "," + filter.name + "," +
           filter.address;
}

CAccessFilter ParseAccessLine(std::string_view line)
{
    CAccessLine fields = CAccessLine::Parse(line);
    CAccessFilter filter;
    filter.permission = fields.action;
    filter.kind = fields.kind;
    filter.accessType = fields.access;
    filter.name = fields.name;
    filter.address = fields.address;
    return filter;
}

bool IsAcceptableFilterName(std::string_view name, std::string_view address)
{
    if (name.find_first_of(kNameSeparators) != std::string_view::npos)
        return false;
    // Runs of commas read as one: "GET,,10.*" would make 10.* the name.
    return !name.empty() || address.empty();
}

CAccessFilterDialog::CAccessFilterDialog(CUserMap* users, CGroupMap* groups, QWidget* parent)
    : CExchangeDialog(parent), m_users(users), m_groups(groups)
{
}

CAccessFilterDialog::~CAccessFilterDialog() = default;

void CAccessFilterDialog::SetupUi()
{
    m_ui = std::make_unique<Ui::AccessFilterDialog>();
    m_ui->setupUi(this);
    connect(m_ui->okButton, &QPushButton::clicked, this, &CAccessFilterDialog::accept);
    connect(m_ui->cancelButton, &QPushButton::clicked, this, &CAccessFilterDialog::reject);
    connect(m_ui->kindCombo, &QComboBox::currentIndexChanged, this, &CAccessFilterDialog::FillLists);
}

bool CAccessFilterDialog::OnInitDialog()
{
    const std::string name = filter.name;
    // A stored method the list does not offer stays offered, so an edit
    // that leaves it alone writes it back rather than an empty field.
    QString access = QString::fromStdString(filter.accessType);
    if (!access.isEmpty() && m_ui->accessTypeCombo->findText(access, Qt::MatchFixedString) < 0)
        m_ui->accessTypeCombo->addItem(access);
    // The selection made by the exchange must not refill the names yet.
    {
        QSignalBlocker quiet(m_ui->kindCombo);
        CExchangeDialog::OnInitDialog();
    }
    FillLists();
    m_ui->nameCombo->setEditText(QString::fromStdString(name));
    return true;
}

void CAccessFilterDialog::FillLists()
{
    QComboBox* names = m_ui->nameCombo;
    names->clear();
    QStringList list;
    if (m_ui->kindCombo->currentText() == QLatin1String("user")) {
        if (m_users)
            for (const auto& entry : m_users->GetEntries())
                list << QString::fromStdString(entry.first);
    } else if (m_groups) {
        for (const auto& entry : m_groups->GetEntries())
            list << QString::fromStdString(entry.first);
    }
    list.sort(Qt::CaseInsensitive);
    names->addItems(list);
    names->insertItem(0, QStringLiteral("*"));
    names->setCurrentIndex(0);
}

void CAccessFilterDialog::DoDataExchange(CDataExchange& dx)
{
    dx.ComboString(m_ui->permissionCombo, filter.permission);
    dx.Text(m_ui->ipAddressEdit, filter.address);
    dx.ComboString(m_ui->accessTypeCombo, filter.accessType);
    dx.ComboString(m_ui->kindCombo, filter.kind);
    dx.ComboString(m_ui->nameCombo, filter.name);
    if (dx.m_bSaveAndValidate && !IsAcceptableFilterName(filter.name, filter.address)) {
        // The failure focuses the name, the field exchanged last.
        VelmoraMessageBox(this, filter.kind == "user" ? kInvalidUserNameStringId : kInvalidGroupNameStringId,
                          kMbOk | kMbIconExclamation);
        dx.Fail(QString());
    }
}
