#include "http/wincgi_form.h"

#include "framework/text_util.h"
#include "platform/profile.h"

#include <unordered_map>
#include <unordered_set>

bool CWinCGIForm::Parse(std::string_view body)
{
    m_fields.clear();
    m_badName.clear();
    std::unordered_set<std::string> used;
    // Per lower-cased name, the suffix to try next: every smaller one is
    // taken, so a form repeating one name is not searched from 1 each time.
    std::unordered_map<std::string, unsigned> nextSuffix;
    std::size_t start = 0;
    while (start < body.size()) {
        std::size_t end = body.find('&', start);
        if (end == std::string_view::npos)
            end = body.size();
        if (end == start)
            break;
        std::string_view piece = body.substr(start, end - start);
        std::size_t equals = piece.find('=');
        std::string_view name = piece.substr(0, equals);
        std::size_t valueAt = equals == std::string_view::npos ? piece.size() : piece.find_first_not_of('=', equals);
        if (valueAt == std::string_view::npos)
            valueAt = piece.size();
        std::string_view raw = piece.substr(valueAt);

        if (!platform::Profile::IsKeyName(name)) {
            m_badName.assign(name);
            m_fields.clear();
            return false;
        }
        CWinCGIField field;
        field.key.assign(name);
        std::string folded = LowerCaseString(name);
        if (used.count(folded) != 0) {
            unsigned& n = nextSuffix.try_emplace(folded, 1).first->second;
            for (;; ++n) {
                field.key = std::string(name) + "_" + std::to_string(n);
                if (used.count(LowerCaseString(field.key)) == 0)
                    break;
            }
            ++n;
        }
        used.insert(LowerCaseString(field.key));

        std::string value = URLDecodeString(raw);
        if (value.size() < kWinCGILiteralLimit && value.find_first_of("\r\n\"\t") == std::string::npos) {
            field.kind = CWinCGIField::Kind::Literal;
            field.value = std::move(value);
        } else if (value.size() < kWinCGIExternalLimit) {
            field.kind = CWinCGIField::Kind::External;
            field.value = std::move(value);
        } else {
            // The raw bytes the program reads from the content file: their
            // own offset and count, whatever the key was renamed to.
            field.kind = CWinCGIField::Kind::Huge;
            field.offset = start + valueAt;
            field.length = raw.size();
        }
        m_fields.push_back(std::move(field));
        start = end + 1;
    }
    return true;
}
