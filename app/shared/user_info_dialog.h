#pragma once
// CUserInfoDialog: asks for one user's name and password (typed twice).
// OK is enabled only while the name holds text, and is refused for a name
// the map already holds (in any letter case), a name with a reserved
// character, or a confirmation that differs from the password. The caller
// reads Name (as typed), Password after an OK.

#include "app/kit/exchange_dialog.h"

#include <memory>
#include <string>

namespace Ui {
class UserInfoDialog;
}

class CUserMap;

inline constexpr int kMaxUserNameChars = 64;
inline constexpr int kMaxPasswordChars = 32;

inline constexpr unsigned kPasswordMismatchId = 2064;
inline constexpr unsigned kUserDuplicateId = 2066;
inline constexpr unsigned kUserInvalidId = 2067;

class CUserInfoDialog : public CExchangeDialog {
    Q_OBJECT
public:
    CUserInfoDialog(CUserMap& users, QWidget* parent);
    ~CUserInfoDialog() override;

    std::string Name;
    std::string Password;
    std::string Confirm;

protected:
    void SetupUi() override;
    bool OnInitDialog() override;
    void DoDataExchange(CDataExchange& dx) override;

private:
    void UpdateOkButton();

    std::unique_ptr<Ui::UserInfoDialog> m_ui;
    CUserMap& m_users;
};
