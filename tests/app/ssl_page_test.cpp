// The SSL page through its widgets: the port's range, the generation's
// questions and messages word for word, the certificate and key dialogs'
// Paste, and the viewer's read-only pages with Copy. A generation replaces
// the key, its public half and the request together, and only when it
// succeeded.

#include "app/shared/ssl_page.h"
#include "config/http_server_config.h"
#include "page_harness.h"

#include <QCheckBox>
#include <QClipboard>
#include <QGuiApplication>
#include <QPlainTextEdit>

namespace {

const char kOverwrite[] =
    "This server object already has a private key.  Generating a new certificate request will overwrite the "
    "private key, which may be needed to use a previously-generated signed certificate.  Are you sure you want "
    "to generate a new certificate?";
const char kFailed[] = "An error was encountered while generating the certificate request.  Please verify that no "
                       "illegal values for any of the fields were specified.";
const char kGenerated[] = "Your certificate request and key pair has been generated.  Be sure to make a backup copy "
                          "of your private key and certificate request!";

struct Texts {
    std::string privKey, pubKey, certReq, signedCert;
};

void SetTexts(CHTTPServerConfig& config, const Texts& texts)
{
    CServiceSettings settings = *config.GetSettings();
    settings.privKey = texts.privKey;
    settings.pubKey = texts.pubKey;
    settings.certReq = texts.certReq;
    settings.signedCert = texts.signedCert;
    config.SetSettings(std::make_shared<const CServiceSettings>(std::move(settings)));
}

const Texts kOld{"OLDKEY\r\n", "OLDPUB\r\n", "OLDREQ\r\n", "OLDCERT\r\n"};

// Base64 in lines of at most 64 characters, each ended by CR LF.
bool IsStoredText(const std::string& text)
{
    if (text.empty() || text.size() < 2 || text.substr(text.size() - 2) != "\r\n")
        return false;
    std::size_t from = 0;
    for (std::size_t end = text.find("\r\n"); end != std::string::npos; end = text.find("\r\n", from)) {
        const std::string line = text.substr(from, end - from);
        if (line.empty() || line.size() > 64 ||
            line.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=") !=
                std::string::npos)
            return false;
        from = end + 2;
    }
    return from == text.size();
}

// One run of the Generate dialog: the fields typed, then Generate (or
// Cancel when generate is false).
struct Attempt {
    const char* organization;
    const char* commonName;
    const char* country;
    bool generate;
};

void Fill(QDialog& dialog, const Attempt& a)
{
    const std::pair<int, const char*> fields[] = {{1072, a.organization}, {1074, a.commonName}, {1071, a.country}};
    for (const auto& [id, text] : fields)
        if (text)
            Retype(Control<QLineEdit>(dialog, id), QString::fromUtf8(text));
}

} // namespace

TEST(SSLPage, GenerationReplacesTheKeyAndRequestTogetherOnlyOnSuccess)
{
    struct Case {
        const char* name;
        bool hasKey;
        int answer; // to the overwrite question
        std::vector<Attempt> attempts;
        std::vector<std::string> messages;
        bool generated;
    };
    const Case cases[] = {
        {"a first key", false, 0, {{"Velmora & Co", "127.0.0.1", "US", true}}, {kGenerated}, true},
        {"No keeps every text", true, kIdNo, {}, {kOverwrite}, false},
        {"a failure then Cancel keeps the old key and request", true, kIdYes,
         {{"", "", "", true}, {nullptr, nullptr, nullptr, false}}, {kOverwrite, kFailed}, false},
        {"a refused country is offered again and corrected", false, 0,
         {{nullptr, "www.example.com", "U!", true}, {nullptr, nullptr, "US", true}}, {kFailed, kGenerated}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CHTTPServerConfig config;
        SetTexts(config, c.hasKey ? kOld : Texts{"", "", kOld.certReq, kOld.signedCert});
        const Texts before{config.GetSettings()->privKey, config.GetSettings()->pubKey,
                           config.GetSettings()->certReq, config.GetSettings()->signedCert};
        PageHarness<CPropertyPage> h(MakeSSLPage(config));
        h.boxes.answers.push_back(c.answer ? c.answer : kIdOk);
        std::string lastCountry;
        for (const Attempt& a : c.attempts)
            h.runner.steps.push_back([&, a](QDialog& dialog) {
                EXPECT_EQ(dialog.windowTitle(), "Generate Certificate Request");
                if (!lastCountry.empty()) {
                    EXPECT_EQ(Control<QLineEdit>(dialog, 1071)->text().toStdString(), lastCountry)
                        << "the values last entered are shown again";
                }
                Fill(dialog, a);
                lastCountry = Control<QLineEdit>(dialog, 1071)->text().toStdString();
                Click(dialog, a.generate ? kIdOk : kIdCancel);
            });
        Click(*h.page, 1068);
        EXPECT_EQ(h.runner.runs, static_cast<int>(c.attempts.size()));
        std::vector<std::string> shown;
        for (const auto& m : h.boxes.shown)
            shown.push_back(m.text);
        EXPECT_EQ(shown, c.messages);
        if (c.hasKey) {
            EXPECT_EQ(h.boxes.shown[0].type, kMbYesNo | kMbDefButton2) << "No is the default";
        }
        auto after = config.GetSettings();
        EXPECT_EQ(after->signedCert, before.signedCert) << "the signed certificate is never touched";
        if (c.generated) {
            EXPECT_TRUE(IsStoredText(after->privKey)) << after->privKey;
            EXPECT_TRUE(IsStoredText(after->pubKey)) << after->pubKey;
            EXPECT_TRUE(IsStoredText(after->certReq)) << after->certReq;
            EXPECT_NE(after->certReq, before.certReq);
        } else {
            EXPECT_EQ(after->privKey, before.privKey);
            EXPECT_EQ(after->pubKey, before.pubKey);
            EXPECT_EQ(after->certReq, before.certReq) << "no request is lost without a new one";
        }
    }
}

TEST(SSLPage, PasteReplacesTheWholeTextAndOnlyOKKeepsIt)
{
    struct Case {
        int button;
        int paste;
        const char* caption;
        bool ok;
        std::string Texts::*field;
    };
    const Case cases[] = {
        {1070, 1174, "Set SSL Signed Certificate", true, &Texts::signedCert},
        {1070, 1174, "Set SSL Signed Certificate", false, &Texts::signedCert},
        {1071, 1077, "Set Private Key", true, &Texts::privKey},
        {1071, 1077, "Set Private Key", false, &Texts::privKey},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.caption) + (c.ok ? " OK" : " Cancel"));
        CHTTPServerConfig config;
        SetTexts(config, kOld);
        PageHarness<CPropertyPage> h(MakeSSLPage(config));
        QGuiApplication::clipboard()->setText(QStringLiteral("PASTED1\nPASTED2"));
        h.runner.steps.push_back([&](QDialog& dialog) {
            EXPECT_EQ(dialog.windowTitle().toStdString(), c.caption);
            auto* edit = Control<QPlainTextEdit>(dialog, 1053);
            const std::string old = kOld.*c.field;
            EXPECT_EQ(edit->toPlainText().toStdString(), old.substr(0, old.size() - 2) + "\n");
            Click(dialog, c.paste);
            EXPECT_EQ(edit->toPlainText(), QStringLiteral("PASTED1\nPASTED2"));
            Click(dialog, c.ok ? kIdOk : kIdCancel);
        });
        Click(*h.page, c.button);
        EXPECT_EQ(h.runner.runs, 1);
        Texts after{config.GetSettings()->privKey, config.GetSettings()->pubKey, config.GetSettings()->certReq,
                    config.GetSettings()->signedCert};
        EXPECT_EQ(after.*c.field, c.ok ? "PASTED1\r\nPASTED2" : kOld.*c.field);
        for (auto other : {&Texts::privKey, &Texts::pubKey, &Texts::certReq, &Texts::signedCert})
            if (other != c.field) {
                EXPECT_EQ(after.*other, kOld.*other);
            }
    }
}

TEST(SSLPage, TheViewerShowsTheWorkingTextsReadOnlyAndCopies)
{
    CHTTPServerConfig config;
    SetTexts(config, {"PRIV\r\n", "PUB\r\n", "REQ\r\n", "CERT\r\n"});
    PageHarness<CPropertyPage> h(MakeSSLPage(config));
    SaveScreenshot(h.sheet, "ssl_page");
    const std::vector<std::pair<QString, QString>> pages = {
        {"Certificate Request", "REQ\n"}, {"Signed Certificate", "CERT\n"}, {"Public Key", "PUB\n"},
        {"Private Key", "PRIV\n"}};
    h.runner.steps.push_back([&](QDialog& dialog) {
        auto& sheet = static_cast<CPropertySheetPlus&>(dialog);
        EXPECT_EQ(sheet.windowTitle(), "SSL Certificate Information");
        ASSERT_EQ(sheet.Tabs()->count(), 4);
        SaveScreenshot(sheet, "ssl_certificate_viewer");
        for (int i = 0; i < 4; ++i) {
            SCOPED_TRACE(pages[i].first.toStdString());
            EXPECT_EQ(sheet.Tabs()->tabText(i), pages[i].first);
            sheet.Tabs()->setCurrentIndex(i);
            QApplication::processEvents();
            QWidget* page = sheet.Tabs()->currentWidget();
            auto* edit = Control<QPlainTextEdit>(*page, 1053);
            EXPECT_TRUE(edit->isReadOnly());
            EXPECT_EQ(edit->toPlainText(), pages[i].second);
            EXPECT_TRUE(QFontInfo(edit->font()).fixedPitch());
            QGuiApplication::clipboard()->clear();
            Click(*page, 1180);
            EXPECT_EQ(QGuiApplication::clipboard()->text(), pages[i].second);
        }
        QTest::mouseClick(sheet.OkButton(), Qt::LeftButton);
    });
    Click(*h.page, 1069);
    EXPECT_EQ(h.runner.runs, 1);
    EXPECT_EQ(config.GetSettings()->privKey, "PRIV\r\n") << "nothing is written back";
}

TEST(SSLPage, ThePortIsCheckedAndTheSwitchesReachTheConfiguration)
{
    struct Case {
        const char* port;
        const char* message;
        std::uint32_t stored;
    };
    const Case cases[] = {
        {"443", nullptr, 443}, {"1", nullptr, 1}, {"65535", nullptr, 65535},
        {"0", "Please enter an integer between 1 and 65535.", 443},
        {"65536", "Please enter an integer between 1 and 65535.", 443},
        {"https", "Please enter an integer.", 443},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.port);
        CHTTPServerConfig config;
        PageHarness<CPropertyPage> h(MakeSSLPage(config));
        EXPECT_EQ(Control<QLineEdit>(*h.page, 1000)->text(), "443");
        Control<QCheckBox>(*h.page, 1067)->setChecked(true);
        Control<QCheckBox>(*h.page, 1072)->setChecked(true);
        Retype(Control<QLineEdit>(*h.page, 1000), QString::fromLatin1(c.port));
        EXPECT_EQ(h.page->UpdateData(true), c.message == nullptr);
        ASSERT_EQ(h.boxes.shown.size(), c.message ? 1u : 0u);
        if (c.message) {
            EXPECT_EQ(h.boxes.shown[0].text, c.message);
        }
        EXPECT_EQ(config.GetSettings()->sslPort, c.stored);
        EXPECT_EQ(config.GetSettings()->useSSL, c.message ? 0u : 1u);
        EXPECT_EQ(config.GetSettings()->sslOnly, c.message ? 0u : 1u);
        if (!c.message) {
            EXPECT_EQ(h.sheet.m_bRestart, 1) << "a server takes a new secure port only when restarted";
        }
    }
}

TEST(SSLPage, DialogsAtTheirOpeningSize)
{
    CHTTPServerConfig config;
    SetTexts(config, kOld);
    PageHarness<CPropertyPage> h(MakeSSLPage(config));
    h.runner.steps.push_back([](QDialog& d) { SaveScreenshot(d, "ssl_set_signed_certificate"); });
    Click(*h.page, 1070);
    h.runner.steps.push_back([](QDialog& d) { SaveScreenshot(d, "ssl_set_private_key"); });
    Click(*h.page, 1071);
    h.boxes.answers.push_back(kIdYes);
    h.runner.steps.push_back([](QDialog& d) {
        EXPECT_EQ(ReadingFault(d), "");
        SaveScreenshot(d, "ssl_generate_request");
    });
    Click(*h.page, 1068);
    EXPECT_EQ(h.runner.runs, 3);
    EXPECT_EQ(ReadingFault(*h.page), "");
}
