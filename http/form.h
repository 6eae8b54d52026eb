#pragma once
// Forms: the fields of a query string, of a URL-encoded POST body and of a
// multipart/form-data body, read by a KAV page through %form(name)%, a macro
// of the field's own name, enumform, and form-saveas for uploaded parts.
//
// Field names fold A-Z to lower case. Under a name the table keeps every
// value joined with ","; under name + '"' + i the i-th value alone (from 0)
// and, beside it, the bytes of that occurrence as received.

#include "macro/macro.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>

class WSocket;
struct CHTTPRequest;

// Waits of form-saveas while the target is busy: 20 tries a second apart.
inline constexpr int kSaveAsAttempts = 20;
inline constexpr unsigned kSaveAsRetryMs = 1000;

// A POST body larger than this is refused with 413 before any of it is read:
// multipart parts are held in memory until the page has used them.
inline constexpr std::int64_t kDefaultMaxFormBodyBytes = 32 * 1024 * 1024;
// The process's limit; 0 or less restores the default.
void SetMaxFormBodyBytes(std::int64_t limit);
std::int64_t GetMaxFormBodyBytes();
// Throws the 413 reply for a body of length bytes over the limit (the
// server's own when above 0, else the process's).
void CheckFormBodySize(std::int64_t length, std::int64_t serverLimit);

// Once per request (kFormMacrosRegistered): the form macros that fit the
// method and content type; a POST body is read here, at most Content-length
// bytes of it.
void RegisterFormMacros(WSocket& socket, CHTTPRequest& request);

// The Content-type value of a POST cut into its type and the boundary given
// as its first parameter (empty when the first parameter is another one).
struct CContentType {
    std::string type;
    std::string boundary;
};
CContentType ParseContentType(std::string_view value);

// The first value of a header in a header text; empty when there is none.
std::string FindHeaderValue(std::string_view headers, std::string_view name);

// A Content-length value: its leading digits after an optional sign; 0 for
// none or a negative number; clamped instead of overflowing.
std::int64_t ParseContentLength(std::string_view value);

// The field table of one form, shared by the form and its field macros so
// that neither outlives what it reads.
struct CFormFields : std::enable_shared_from_this<CFormFields> {
    std::unordered_map<std::string, std::string> values;
    std::unordered_map<std::string, std::string> raw;
    std::unordered_map<std::string, int> counts;

    // Adds one occurrence; the first occurrence of a name that no macro
    // visible from scope has gets a field macro registered in scope.
    void AddField(CMacroContext* scope, std::string_view name, std::string_view value, std::string_view rawBytes);
    // Every value of a field joined with ",", or the occurrence-th alone
    // (occurrence compared as text, so "00" is not "0"); null when unknown.
    const std::string* Find(std::string_view name, const char* occurrence) const;
};

// Adds the fields of a URL-encoded text ("a=1&b=2").
void ParseURLEncodedFields(CFormFields& fields, CMacroContext* scope, std::string_view text);

// form(name [, occurrence]).
class CForm : public CMacro {
public:
    // body is the request's Body, read when the form is first used; null for
    // a form without one.
    CForm(std::string query, const std::string* body);
    void Evaluate(CMacroContext* scope, CTextBuffer* out, const char** argv, int argc) override;

protected:
    const std::shared_ptr<CFormFields>& Fields() const { return m_fields; }
    const std::string& QueryText() const { return m_query; }
    void MarkParsed() { m_parsed = true; }

private:
    std::string m_query;
    const std::string* m_body;
    bool m_parsed = false;
    std::shared_ptr<CFormFields> m_fields;
};

// The form of a multipart/form-data POST: the query string's fields and
// every part of the body, which is read and split when the form is built
// (never past contentLength bytes). Registers form-saveas in scope.
class CMultipartForm : public CForm {
public:
    CMultipartForm(CMacroContext* scope, std::string query, WSocket& socket, std::string_view boundary,
                   std::int64_t contentLength);
    // The body bytes taken from the connection.
    std::int64_t GetBytesRead() const { return m_bytesRead; }

private:
    void ReadParts(CMacroContext* scope, WSocket& socket, std::string_view boundary, std::int64_t contentLength);

    std::int64_t m_bytesRead = 0;
};

// A macro of a field's own name: [occurrence].
class CFormFieldMacro : public CMacro {
public:
    CFormFieldMacro(std::string name, std::shared_ptr<CFormFields> fields)
        : m_name(std::move(name)), m_fields(std::move(fields))
    {
    }
    void Evaluate(CMacroContext* scope, CTextBuffer* out, const char** argv, int argc) override;

private:
    std::string m_name;
    std::shared_ptr<CFormFields> m_fields;
};

// enumform(template): the template once per field of the query text and the
// body, with name and value set in a nested scope.
class CEnumFormMacro : public CMacro {
public:
    CEnumFormMacro(std::string query, const std::string* body) : m_query(std::move(query)), m_body(body) {}
    void Evaluate(CMacroContext* scope, CTextBuffer* out, const char** argv, int argc) override;

private:
    std::string m_query;
    const std::string* m_body;
};

// form-saveas(path, field [, occurrence]): writes the bytes of an uploaded
// part to a file, replacing it whole (a temporary file beside it, renamed
// over it), so a reader never sees half an upload.
class CFormSaveAsMacro : public CMacro {
public:
    explicit CFormSaveAsMacro(std::shared_ptr<CFormFields> fields) : m_fields(std::move(fields)) {}
    void Evaluate(CMacroContext* scope, CTextBuffer* out, const char** argv, int argc) override;

private:
    std::shared_ptr<CFormFields> m_fields;
};
