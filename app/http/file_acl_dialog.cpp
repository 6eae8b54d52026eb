#include "app/http/file_acl_dialog.h"

#include "ui_file_acl_dialog.h"

#include "app/http/change_dir_dialog.h"
#include "app/kit/list_pattern.h"
#include "app/kit/message_box.h"
#include "app/shared/edit_acl_dialog.h"
#include "config/access_list.h"
#include "config/http_server_config.h"
#include "config/last_mod_stamp.h"

#include <QApplication>
#include <QListWidget>

#include <algorithm>
#include <filesystem>
#include <vector>

namespace {

namespace fs = std::filesystem;

// The walk of one tree: every name below root as "/a/b" or "/a/dir/".
class CTreeWalk {
public:
    explicit CTreeWalk(const std::string& root) : m_root(root)
    {
        std::error_code error;
        m_canonicalRoot = fs::canonical(root, error);
    }

    QStringList Walk()
    {
        if (!m_canonicalRoot.empty()) {
            m_inside.push_back(m_canonicalRoot);
            Fill("/", 0);
        }
        return m_names;
    }

private:
    void Fill(const std::string& prefix, int depth)
    {
        std::error_code error;
        fs::directory_iterator it(m_root + prefix, fs::directory_options::skip_permission_denied, error);
        for (; !error && it != fs::directory_iterator(); it.increment(error)) {
            if (static_cast<std::size_t>(m_names.size()) >= kMaxFileACLEntries)
                return;
            const std::string name = it->path().filename().string();
            std::error_code statError;
            if (it->is_directory(statError)) {
                const std::string child = prefix + name + "/";
                if (depth + 1 < kMaxFileACLDepth && MayEnter(it->path())) {
                    Fill(child, depth + 1);
                    m_inside.pop_back();
                }
                m_names << QString::fromStdString(child);
            } else if (!IsACLFileName(name)) {
                m_names << QString::fromStdString(prefix + name);
            }
        }
    }

    // A directory (or a link to one) is entered only when it lies inside
    // the tree and is none of the directories the walk is in: a link to an
    // ancestor would loop, one out of the tree would list a foreign folder.
    bool MayEnter(const fs::path& path)
    {
        std::error_code error;
        fs::path real = fs::canonical(path, error);
        if (error)
            return false;
        auto [rootEnd, realAt] = std::mismatch(m_canonicalRoot.begin(), m_canonicalRoot.end(), real.begin(), real.end());
        if (rootEnd != m_canonicalRoot.end())
            return false;
        if (std::find(m_inside.begin(), m_inside.end(), real) != m_inside.end())
            return false;
        m_inside.push_back(std::move(real));
        return true;
    }

    std::string m_root;
    fs::path m_canonicalRoot;
    std::vector<fs::path> m_inside; // the directories the walk is in, root first
    QStringList m_names;
};

} // namespace

CFileACLDialog::CFileACLDialog(CHTTPServerConfig& config, CUserMap* users, CGroupMap* groups, QWidget* parent)
    : CExchangeDialog(parent), m_config(config), m_users(users), m_groups(groups)
{
}

CFileACLDialog::~CFileACLDialog() = default;

void CFileACLDialog::SetupUi()
{
    m_ui = std::make_unique<Ui::FileACLDialog>();
    m_ui->setupUi(this);
    m_ui->filesCombo->SetSorted(true);
    connect(m_ui->closeButton, &QPushButton::clicked, this, &CFileACLDialog::accept);
    connect(m_ui->directoryButton, &QPushButton::clicked, this, &CFileACLDialog::OnDirectory);
    connect(m_ui->editACLButton, &QPushButton::clicked, this, &CFileACLDialog::OnEditACL);
    connect(m_ui->filesCombo, &CSimpleCombo::activated, this, &CFileACLDialog::OnEditACL);
}

bool CFileACLDialog::OnInitDialog()
{
    CExchangeDialog::OnInitDialog();
    m_directory = m_config.GetHTTPSettings()->rootDir;
    Refill();
    return true;
}

void CFileACLDialog::Refill()
{
    QApplication::setOverrideCursor(Qt::WaitCursor);
    m_ui->filesCombo->List()->setUpdatesEnabled(false);
    m_ui->directoryLabel->setText(QString::fromStdString(m_directory));
    m_ui->filesCombo->Clear();
    m_ui->filesCombo->SetText(QString());
    m_ui->filesCombo->AddItems(CTreeWalk(m_directory).Walk());
    m_ui->filesCombo->List()->setUpdatesEnabled(true);
    QApplication::restoreOverrideCursor();
}

void CFileACLDialog::OnDirectory()
{
    CChangeDirDialog change(this);
    change.Directory = m_directory;
    if (change.DoModal() != kIdOk)
        return;
    m_directory = change.Directory;
    if (!m_directory.empty() && (m_directory.back() == '/' || m_directory.back() == '\\'))
        m_directory.pop_back();
    Refill();
}

void CFileACLDialog::OnEditACL()
{
    const std::string text = m_ui->filesCombo->Text().toStdString();
    if (text.empty())
        return;
    const std::string path = m_directory + text;
    CAccessList list;
    list.LoadFile(path);
    CEditACLDialog edit(list, m_users, m_groups, this);
    if (edit.DoModal() != kIdOk)
        return;
    // Every running server reads the file through its cache, which the
    // stamp flushes.
    if (list.SaveFile(path))
        GlobalLastModStamp().Touch();
}
