// Name objects: the checks on their components and their DER both ways.

#include "toolkit_helper.h"

#include "security/name_object.h"

#include <gtest/gtest.h>

#include <string>

namespace {

const unsigned char kOidGivenName[] = {0x55, 0x04, 0x2A}; // not in the known-type table

struct NameObject {
    ToolkitHandle* handle = nullptr;
    NameObject() { EXPECT_EQ(CreateNameObject(&handle), 0); }
    ~NameObject() { DestroyNameObject(&handle); }
    template <std::size_t N>
    int Add(const unsigned char (&oid)[N], int tag, const std::string& value, int newRDN = 1)
    {
        return SetNameObjectFromText(nullptr, handle, oid, N, tag, reinterpret_cast<const unsigned char*>(value.data()),
                                     static_cast<unsigned int>(value.size()), newRDN, nullptr);
    }
    std::string DerHex(int* status = nullptr)
    {
        const unsigned char* der = nullptr;
        unsigned int length = 0;
        int s = GetNameObjectDER(&der, &length, handle, nullptr);
        if (status)
            *status = s;
        return s ? "" : ToHex(Bytes(reinterpret_cast<const char*>(der), length));
    }
};

TEST(NameObject, ComponentsAreCheckedAgainstTheirType)
{
    const std::string amp = "Smith & Sons";
    const struct {
        const char* what;
        const unsigned char* oid;
        int tag;
        std::string value;
        int status;
    } cases[] = {
        {"country of two letters", kOidCountryName, 19, "US", 0},
        {"country of three letters", kOidCountryName, 19, "USA", kAppValueLength},
        {"country of one letter", kOidCountryName, 19, "U", kAppValueLength},
        {"country as T61String", kOidCountryName, 20, "US", kAppStringType},
        {"country outside the set", kOidCountryName, 19, "U&", kAppCharacters},
        {"common name of 64", kOidCommonName, 19, std::string(64, 'c'), 0},
        {"common name of 65", kOidCommonName, 19, std::string(65, 'c'), kAppValueLength},
        {"empty common name", kOidCommonName, 19, "", kAppValueLength},
        {"locality of 128", kOidLocalityName, 20, std::string(128, 'l'), 0},
        {"locality of 129", kOidLocalityName, 20, std::string(129, 'l'), kAppValueLength},
        {"ampersand as PrintableString", kOidOrganizationName, 19, amp, kAppCharacters},
        {"ampersand as T61String", kOidOrganizationName, 20, amp, 0},
        {"organization as UTF8String", kOidOrganizationName, 12, "x", kAppStringType},
        {"the printable punctuation", kOidOrganizationalUnitName, 19, "A-z 0'()+,./:=?", 0},
        {"unknown type as UTF8String", kOidGivenName, 12, "Zoë & co", 0},
        {"unknown type, high tag form", kOidGivenName, 31, "x", kAppStringType},
        {"unknown type, constructed tag", kOidGivenName, 0x30, "x", kAppStringType},
        {"unknown type, PrintableString checked", kOidGivenName, 19, "a@b", kAppCharacters},
    };
    for (const auto& c : cases) {
        NameObject name;
        int status = SetNameObjectFromText(nullptr, name.handle, c.oid, 3, c.tag,
                                           reinterpret_cast<const unsigned char*>(c.value.data()),
                                           static_cast<unsigned int>(c.value.size()), 1, nullptr);
        EXPECT_EQ(status, c.status) << c.what;
        unsigned int count = 99;
        ASSERT_EQ(GetNameAVACount(&count, name.handle, nullptr), 0);
        EXPECT_EQ(count, c.status ? 0u : 1u) << c.what << ": a refused component leaves nothing behind";
    }
}

TEST(NameObject, EncodesOneRDNPerComponentInTheOrderAdded)
{
    NameObject name;
    int status = 0;
    EXPECT_EQ(name.DerHex(&status), "");
    EXPECT_EQ(status, kAppBadName) << "an empty name has no encoding";
    ASSERT_EQ(name.Add(kOidCountryName, 19, "US"), 0);
    ASSERT_EQ(name.Add(kOidOrganizationName, 20, "Example"), 0);
    EXPECT_EQ(name.DerHex(), "301f310b3009060355040613025553"
                             "3110300e060355040a14074578616d706c65");
    // Added after the DER was made: the DER is made anew.
    ASSERT_EQ(name.Add(kOidCommonName, 19, "a"), 0);
    EXPECT_EQ(name.DerHex(), "302b310b3009060355040613025553"
                             "3110300e060355040a14074578616d706c65"
                             "310a30080603550403130161");
}

TEST(NameObject, JoinedComponentsShareOneSortedRDN)
{
    NameObject name;
    // The first component starts an RDN whatever its flag says.
    ASSERT_EQ(name.Add(kOidOrganizationName, 20, "Example", 0), 0);
    ASSERT_EQ(name.Add(kOidCountryName, 19, "US", 0), 0);
    EXPECT_EQ(name.DerHex(), "301d311b"
                             "3009060355040613025553"
                             "300e060355040a14074578616d706c65");
    const unsigned char* type = nullptr;
    const unsigned char* value = nullptr;
    unsigned int typeLength = 0, valueLength = 0;
    int tag = 0, newRDN = -1;
    ASSERT_EQ(GetNameAVA(&type, &typeLength, &tag, &value, &valueLength, &newRDN, name.handle, 0, nullptr), 0);
    EXPECT_EQ(newRDN, 1);
    EXPECT_EQ(GetNameAVA(&type, &typeLength, &tag, &value, &valueLength, &newRDN, name.handle, 2, nullptr),
              kAppIndex);
}

TEST(NameObject, DecodesWhatItIsGivenAndRefusesWhatIsNotAName)
{
    const Bytes good = FromHex("302b310b3009060355040613025553"
                               "3110300e060355040a14074578616d706c65"
                               "310a30080603550403130161");
    NameObject name;
    ToolkitItem der{reinterpret_cast<unsigned char*>(const_cast<char*>(good.data())),
                    static_cast<unsigned int>(good.size())};
    ASSERT_EQ(SetNameObjectDER(name.handle, &der, nullptr), 0);
    unsigned int count = 0;
    ASSERT_EQ(GetNameAVACount(&count, name.handle, nullptr), 0);
    ASSERT_EQ(count, 3u);
    const unsigned char* type = nullptr;
    const unsigned char* value = nullptr;
    unsigned int typeLength = 0, valueLength = 0;
    int tag = 0, newRDN = 0;
    ASSERT_EQ(GetNameAVA(&type, &typeLength, &tag, &value, &valueLength, &newRDN, name.handle, 1, nullptr), 0);
    EXPECT_EQ(tag, 20);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(value), valueLength), "Example");
    EXPECT_EQ(type, kOidOrganizationName) << "a known type points at the table";
    // Adding to a decoded name keeps what was decoded.
    ASSERT_EQ(name.Add(kOidLocalityName, 19, "Here"), 0);
    EXPECT_EQ(name.DerHex().substr(4, good.size() * 2 - 4), ToHex(good).substr(4));

    const struct {
        const char* what;
        const char* hex;
        int status;
    } bad[] = {
        {"not a SEQUENCE", "3100", kAppDecoding},
        {"RDN not a SET", "30053003020100", kAppDecoding},
        {"empty RDN", "30023100", kAppDecoding},
        {"trailing bytes", "3000ff", kAppDecoding},
        {"country of three letters", "300e310c300a06035504061303555341", kAppValueLength},
        {"common name constructed", "300e310c300a06035504033003130161", kAppStringType},
        {"truncated", "3029310b30090603", kAppDecoding},
    };
    for (const auto& b : bad) {
        Bytes bytes = FromHex(b.hex);
        ToolkitItem item{reinterpret_cast<unsigned char*>(bytes.data()), static_cast<unsigned int>(bytes.size())};
        EXPECT_EQ(SetNameObjectDER(name.handle, &item, nullptr), b.status) << b.what;
        EXPECT_EQ(SetNameObjectFromBER(name.handle, item.data, item.length, nullptr), b.status) << b.what;
        ASSERT_EQ(GetNameAVACount(&count, name.handle, nullptr), 0);
        EXPECT_EQ(count, 4u) << b.what << ": the object is left as it was";
    }
}

TEST(NameObject, BERIsKeptAsDER)
{
    // Indefinite lengths and a long-form length where a short one fits.
    const Bytes ber = FromHex("3080" "3180" "308109060355040613025553" "0000" "0000");
    NameObject name;
    ASSERT_EQ(SetNameObjectFromBER(name.handle, reinterpret_cast<const unsigned char*>(ber.data()),
                                   static_cast<unsigned int>(ber.size()), nullptr),
              0);
    EXPECT_EQ(name.DerHex(), "300d310b3009060355040613025553");
}

} // namespace
