#pragma once

// A strict reader of the one kind of XML document a saved state may hold, for the state fuzz target to
// hold the product's restore against. It shares nothing with the product's reader: it decodes strict
// UTF-8 (shortest forms, no surrogates, nothing above U+10FFFF) to code points first, then follows XML
// 1.0's grammar: an optional declaration, one element with quoted attributes, each name once, XML's
// names and characters, its five entities and character references, and either "/>" or white space
// and the matching end tag. Like the framework's parser, it takes white space before the declaration
// and does not look at what follows the element.

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace strictxml
{
struct Element
{
    std::u32string tag;
    std::map<std::u32string, std::u32string> attributes; // values with references replaced
    size_t endByte = 0;                                  // where the element ends in the text, in bytes
};

inline std::optional<std::vector<std::pair<char32_t, size_t>>> decodeUtf8 (const uint8_t* text, size_t size)
{
    std::vector<std::pair<char32_t, size_t>> out; // each code point and the byte after it
    for (size_t i = 0; i < size;)
    {
        const uint8_t b = text[i];
        const int extra = b < 0x80 ? 0 : (b & 0xE0) == 0xC0 ? 1 : (b & 0xF0) == 0xE0 ? 2 : (b & 0xF8) == 0xF0 ? 3 : -1;
        if (extra < 0 || i + (size_t) extra >= size)
            return {};
        char32_t c = extra == 0 ? b : (char32_t) (b & (0x3F >> extra));
        for (int k = 1; k <= extra; ++k)
        {
            if ((text[i + (size_t) k] & 0xC0) != 0x80)
                return {};
            c = c << 6 | (text[i + (size_t) k] & 0x3F);
        }
        static constexpr char32_t least[] = { 0, 0x80, 0x800, 0x10000 };
        if (c < least[extra] || (c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF)
            return {};
        i += (size_t) extra + 1;
        out.push_back ({ c, i });
    }
    return out;
}

class Reader
{
public:
    explicit Reader (std::vector<std::pair<char32_t, size_t>> c) : chars (std::move (c)) {}

    std::optional<Element> document()
    {
        space();
        if (literal (U"<?xml") && ! declaration())
            return {};
        space();
        Element e;
        if (! literal (U"<") || ! name (e.tag))
            return {};
        for (;;)
        {
            const bool spaced = space();
            if (literal (U"/>"))
                return finish (e);
            if (literal (U">"))
            {
                std::u32string end;
                space();
                if (! literal (U"</") || ! name (end) || end != e.tag)
                    return {};
                space();
                return literal (U">") ? finish (e) : std::nullopt;
            }
            std::u32string n, v;
            if (! spaced || ! name (n) || ! eq() || ! value (v) || e.attributes.count (n) != 0)
                return {};
            e.attributes[n] = v;
        }
    }

private:
    std::vector<std::pair<char32_t, size_t>> chars;
    size_t at = 0;

    char32_t peek (size_t ahead = 0) const { return at + ahead < chars.size() ? chars[at + ahead].first : 0; }

    std::optional<Element> finish (Element& e)
    {
        e.endByte = chars[at - 1].second;
        return e;
    }

    bool literal (const std::u32string& s)
    {
        for (size_t k = 0; k < s.size(); ++k)
            if (peek (k) != s[k])
                return false;
        at += s.size();
        return true;
    }

    bool space()
    {
        const auto from = at;
        while (peek() == 0x20 || peek() == 0x9 || peek() == 0xD || peek() == 0xA)
            ++at;
        return at > from;
    }

    bool eq()
    {
        space();
        if (! literal (U"="))
            return false;
        space();
        return true;
    }

    // XML 1.0 (fifth edition), productions [4] and [4a].
    static bool nameStart (char32_t c)
    {
        return c == ':' || (c >= 'A' && c <= 'Z') || c == '_' || (c >= 'a' && c <= 'z') || (c >= 0xC0 && c <= 0xD6) ||
               (c >= 0xD8 && c <= 0xF6) || (c >= 0xF8 && c <= 0x2FF) || (c >= 0x370 && c <= 0x37D) ||
               (c >= 0x37F && c <= 0x1FFF) || (c >= 0x200C && c <= 0x200D) || (c >= 0x2070 && c <= 0x218F) ||
               (c >= 0x2C00 && c <= 0x2FEF) || (c >= 0x3001 && c <= 0xD7FF) || (c >= 0xF900 && c <= 0xFDCF) ||
               (c >= 0xFDF0 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0xEFFFF);
    }

    static bool nameChar (char32_t c)
    {
        return nameStart (c) || c == '-' || c == '.' || (c >= '0' && c <= '9') || c == 0xB7 ||
               (c >= 0x300 && c <= 0x36F) || (c >= 0x203F && c <= 0x2040);
    }

    // Production [2].
    static bool isChar (char32_t c)
    {
        return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) || (c >= 0xE000 && c <= 0xFFFD) ||
               (c >= 0x10000 && c <= 0x10FFFF);
    }

    bool name (std::u32string& out)
    {
        if (! nameStart (peek()))
            return false;
        while (nameChar (peek()))
            out += chars[at++].first;
        return true;
    }

    bool value (std::u32string& out)
    {
        const char32_t quote = peek();
        if (quote != '"' && quote != '\'')
            return false;
        for (++at; at < chars.size(); ++at)
        {
            const char32_t c = chars[at].first;
            if (c == quote)
                return ++at, true;
            if (c == '<' || ! isChar (c))
                return false;
            if (c != '&')
                out += c;
            else if (! reference (out))
                return false;
        }
        return false;
    }

    // At '&'; leaves `at` on the ';'.
    bool reference (std::u32string& out)
    {
        for (auto [entity, c] : { std::pair{ U"&lt;", U'<' }, std::pair{ U"&gt;", U'>' }, std::pair{ U"&amp;", U'&' },
                                  std::pair{ U"&apos;", U'\'' }, std::pair{ U"&quot;", U'"' } })
            if (literal (entity))
            {
                out += c;
                --at;
                return true;
            }
        if (! literal (U"&#"))
            return false;
        const bool hex = literal (U"x");
        uint64_t code = 0;
        size_t digits = 0;
        for (; peek() != ';'; ++at, ++digits)
        {
            const char32_t d = peek();
            const int v = d >= '0' && d <= '9'          ? (int) (d - '0')
                          : hex && d >= 'a' && d <= 'f' ? (int) (d - 'a' + 10)
                          : hex && d >= 'A' && d <= 'F' ? (int) (d - 'A' + 10)
                                                        : -1;
            if (v < 0 || code > 0x10FFFF)
                return false;
            code = code * (hex ? 16 : 10) + (uint64_t) v;
        }
        if (digits == 0 || code > 0x10FFFF || ! isChar ((char32_t) code))
            return false;
        out += (char32_t) code;
        return true;
    }

    // Productions [23] to [26], [32], [80] and [81].
    bool declaration()
    {
        std::u32string v;
        if (! pseudo (U"version", v) || v.size() < 3 || v.compare (0, 2, U"1.") != 0 ||
            v.find_first_not_of (U"0123456789", 2) != std::u32string::npos)
            return false;
        auto before = at;
        if (pseudo (U"encoding", v))
        {
            if (v.empty() || ! ((v[0] | 0x20) >= 'a' && (v[0] | 0x20) <= 'z'))
                return false;
            for (char32_t c : v)
                if (! (((c | 0x20) >= 'a' && (c | 0x20) <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
                       c == '-'))
                    return false;
        }
        else
            at = before;
        before = at;
        if (pseudo (U"standalone", v))
        {
            if (v != U"yes" && v != U"no")
                return false;
        }
        else
            at = before;
        space();
        return literal (U"?>");
    }

    bool pseudo (const std::u32string& expected, std::u32string& v)
    {
        v.clear();
        std::u32string n;
        if (! space() || ! name (n) || n != expected || ! eq())
            return false;
        const char32_t quote = peek();
        if (quote != '"' && quote != '\'')
            return false;
        for (++at; at < chars.size() && chars[at].first != quote; ++at)
            v += chars[at].first;
        return at++ < chars.size();
    }
};

// The element of a state text, or nothing when the text is not a document this reader takes.
inline std::optional<Element> read (const uint8_t* text, size_t size)
{
    auto chars = decodeUtf8 (text, size);
    if (! chars)
        return {};
    return Reader (std::move (*chars)).document();
}
} // namespace strictxml
