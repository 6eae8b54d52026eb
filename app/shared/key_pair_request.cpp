#include "app/shared/key_pair_request.h"

#include "security/certificate_request.h"
#include "security/name_object.h"
#include "security/random_object.h"
#include "security/rsa_exception.h"

#include <exception>
#include <memory>

namespace {

int AppendLine(const char* line, void* data)
{
    auto* text = static_cast<std::string*>(data);
    text->append(line);
    text->append("\r\n");
    return 0;
}

struct DeliveredKeys {
    std::string privateKey;
    std::string publicKey;
};

int KeepKeys(const unsigned char* publicKey, unsigned publicLength, const unsigned char* privateKey,
             unsigned privateLength, void* data)
{
    if (privateLength > kMaxPrivateKeyOctets || publicLength > kMaxPublicKeyOctets)
        return kToolkitBadData;
    auto* keys = static_cast<DeliveredKeys*>(data);
    keys->privateKey.assign(reinterpret_cast<const char*>(privateKey), privateLength);
    keys->publicKey.assign(reinterpret_cast<const char*>(publicKey), publicLength);
    return 0;
}

struct NameDeleter {
    void operator()(ToolkitHandle* handle) const { DestroyNameObject(&handle); }
};
struct RandomDeleter {
    void operator()(ToolkitHandle* handle) const { DestroyRandomObject(&handle); }
};

// Adds the non-empty fields, each as a new relative name, in the designed
// order: the printable ones first, then the T.61 ones.
int BuildSubject(ToolkitHandle* name, const CertRequestFields& fields)
{
    struct Component {
        const unsigned char* oid;
        int tag;
        const std::string& value;
    };
    const Component components[] = {
        {kOidCountryName, kTagPrintableString, fields.country},
        {kOidStateOrProvinceName, kTagPrintableString, fields.state},
        {kOidLocalityName, kTagPrintableString, fields.locality},
        {kOidOrganizationName, kTagT61String, fields.organization},
        {kOidOrganizationalUnitName, kTagT61String, fields.unit},
        {kOidCommonName, kTagT61String, fields.commonName},
    };
    for (const Component& c : components) {
        if (c.value.empty())
            continue;
        if (int status = SetNameObjectFromText(nullptr, name, c.oid, 3, c.tag,
                                               reinterpret_cast<const unsigned char*>(c.value.data()),
                                               static_cast<unsigned>(c.value.size()), 1, nullptr))
            return status;
    }
    return 0;
}

int Generate(const CertRequestFields& fields, GeneratedKeyTexts& out)
{
    ToolkitHandle* made = nullptr;
    if (int status = CreateNameObject(&made))
        return status;
    std::unique_ptr<ToolkitHandle, NameDeleter> name(made);
    if (int status = BuildSubject(name.get(), fields))
        return status;

    made = nullptr;
    if (int status = CreateRandomObject(&made))
        return status;
    std::unique_ptr<ToolkitHandle, RandomDeleter> random(made);
    // The process's changing figures and the kernel's random source together.
    if (int status = SeedRandomObjectFromSystem(random.get(), nullptr))
        return status;

    GeneratedKeyTexts texts;
    TextStreamCallbacks callbacks{nullptr, AppendLine, nullptr, nullptr, nullptr, &texts.certReq};
    Base64TextStream stream;
    if (int status = InitBase64TextStream(&stream, &callbacks))
        return status;
    DeliveredKeys keys;
    KeyOutputCallback keyOutput{KeepKeys, &keys};
    int status = GenerateCertificateRequest(&stream, nullptr, nullptr, name.get(), 0, kSignatureMD5WithRSA,
                                            kRequestModulusBits, 0, nullptr, nullptr, 0, 0, random.get(),
                                            &keyOutput, nullptr, nullptr);
    if (!status)
        status = FlushBase64TextStream(&stream);
    CloseBase64TextStream(&stream);
    if (status)
        return status;
    if (keys.privateKey.empty() || keys.publicKey.empty() || texts.certReq.empty())
        return kToolkitBadData;
    texts.privKey = EncodeKeyText(reinterpret_cast<const unsigned char*>(keys.privateKey.data()),
                                  static_cast<unsigned>(keys.privateKey.size()));
    texts.pubKey = EncodeKeyText(reinterpret_cast<const unsigned char*>(keys.publicKey.data()),
                                 static_cast<unsigned>(keys.publicKey.size()));
    if (texts.privKey.empty() || texts.pubKey.empty())
        return kToolkitBadData;
    out = std::move(texts);
    return 0;
}

} // namespace

std::string EncodeKeyText(const unsigned char* octets, unsigned length)
{
    std::string text;
    TextStreamCallbacks callbacks{nullptr, AppendLine, nullptr, nullptr, nullptr, &text};
    Base64TextStream stream;
    if (InitBase64TextStream(&stream, &callbacks))
        return {};
    int status = stream.write(octets, length, stream.context);
    if (!status)
        status = FlushBase64TextStream(&stream);
    CloseBase64TextStream(&stream);
    return status ? std::string() : text;
}

int GenerateKeyTexts(const CertRequestFields& fields, GeneratedKeyTexts& out)
{
    try {
        return Generate(fields, out);
    } catch (const std::exception&) {
        return -1;
    }
}
