#include "proxy/gopher_menu.h"

#include "framework/text_util.h"

namespace {

std::string_view WithoutLineEnd(std::string_view line)
{
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n'))
        line.remove_suffix(1);
    return line;
}

} // namespace

bool DecodeGopherPath(std::string_view path, char& type, std::string& selector)
{
    if (!path.empty() && path.front() == '/')
        path.remove_prefix(1);
    type = '1';
    selector.clear();
    if (path.empty())
        return true;
    type = path.front();
    path.remove_prefix(1);
    if (type == '%') {
        // An encoded type character, as the menu links write an unsafe one.
        std::string decoded;
        if (path.size() < 2 || !DecodeURLPath(decoded, std::string("%") + std::string(path.substr(0, 2))) ||
            decoded.size() != 1)
            return false;
        type = decoded[0];
        path.remove_prefix(2);
    }
    std::string mapped;
    mapped.reserve(path.size());
    for (std::size_t i = 0; i < path.size(); ++i) {
        char c = path[i];
        if (c == '+' || c == '?') {
            if (i > 0)
                mapped.push_back(c == '+' ? ' ' : '\t');
            continue;
        }
        mapped.push_back(c);
    }
    URLDecode(selector, mapped);
    if (type == '\r' || type == '\n')
        return false;
    return selector.find_first_of(std::string_view("\r\n\0", 3)) == std::string::npos;
}

bool BuiltinGopherMIME(char type, std::string& mime)
{
    switch (type) {
    case '+':
    case '1':
    case '2':
    case '7':
    case 'h':
        mime = "text/html";
        return true;
    case '0':
        mime = "text/plain";
        return true;
    case 'I':
        mime = "image/unknown";
        return true;
    case 'g':
        mime = "image/gif";
        return true;
    default:
        mime = "text/plain";
        return false;
    }
}

std::string_view BuiltinGopherIcon(char type)
{
    switch (type) {
    case '+':
    case '1':
        return "internal-gopher-menu";
    case '0':
    case 'h':
        return "internal-gopher-text";
    case '2':
    case '7':
        return "internal-gopher-index";
    case '4':
    case '5':
    case '6':
        return "internal-gopher-binary";
    case '8':
    case 'T':
        return "internal-gopher-telnet";
    case 'I':
    case 'g':
        return "internal-gopher-image";
    default:
        return {};
    }
}

bool ParseGopherMenuLine(std::string_view line, CGopherMenuLine& entry)
{
    entry = CGopherMenuLine();
    if (line.empty() || line.front() == '.')
        return false;
    entry.type = line.front();
    std::string_view rest = line.substr(1);
    if (entry.type == '-' || entry.type == '3') {
        entry.info = true;
        entry.display.assign(rest);
        return true;
    }
    // A line without a fifth field ends at its port: the line end never
    // reaches the link.
    rest = WithoutLineEnd(rest);
    std::string* fields[] = {&entry.display, &entry.selector, &entry.host, &entry.port};
    for (std::string* field : fields) {
        std::size_t tab = rest.find('\t');
        field->assign(rest.substr(0, tab));
        if (tab == std::string_view::npos)
            break;
        rest.remove_prefix(tab + 1);
    }
    return true;
}

void AppendGopherMenuLine(CTextBuffer& out, const CGopherMenuLine& entry, std::string_view icon)
{
    if (entry.info) {
        // The line end stays, as the menu showed it.
        out.Append("<B>");
        HTMLEncode(&out, entry.display);
        out.Append("\r\n</B>");
        return;
    }
    const bool telnet = entry.type == '8' || entry.type == 'T';
    out.Append("<A HREF=\"");
    out.Append(telnet ? "telnet:" : "gopher:");
    out.Append("//");
    HTMLEncode(&out, entry.host);
    out.AppendChar(':');
    HTMLEncode(&out, entry.port);
    out.AppendChar('/');
    if (!telnet) {
        std::string encoded;
        auto type = static_cast<unsigned char>(entry.type);
        if (type > ' ' && type < 0x7F && entry.type != '%' && entry.type != '?' && entry.type != '#')
            encoded.assign(1, entry.type);
        else
            URLEncodePath(encoded, std::string_view(&entry.type, 1));
        std::string selector;
        URLEncodePath(selector, entry.selector);
        encoded += selector;
        HTMLEncode(&out, encoded);
    }
    out.Append("\">");
    if (!icon.empty()) {
        out.Append("<IMG ALIGN=absbottom BORDER=0 SRC=\"");
        HTMLEncode(&out, icon);
        out.Append("\">");
    }
    HTMLEncode(&out, entry.display);
    out.Append("</A>\r\n");
}
