// Line and word splitting shared by the host-file parsers: views into the
// text, no copies.
#ifndef KESTROVA_TEXTSCAN_H
#define KESTROVA_TEXTSCAN_H

#include <string_view>
#include <type_traits>
#include <vector>

namespace textscan {

// White space as isspace() sees it in the C locale.
inline bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// s without white space at either end.
inline std::string_view trim(std::string_view s) {
    while (!s.empty() && isBlank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && isBlank(s.back()))
        s.remove_suffix(1);
    return s;
}

inline bool startsWith(std::string_view s, std::string_view prefix) {
    return s.substr(0, prefix.size()) == prefix;
}

// The blank- or tab-separated words of a line.
inline std::vector<std::string_view> words(std::string_view line) {
    std::vector<std::string_view> out;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t'))
            ++i;
        size_t j = i;
        while (j < line.size() && line[j] != ' ' && line[j] != '\t')
            ++j;
        if (j > i)
            out.push_back(line.substr(i, j - i));
        i = j;
    }
    return out;
}

// Calls fn with each line, without its newline; a fn that returns bool ends
// the walk by returning false.
template <typename Fn>
void eachLine(std::string_view text, Fn fn) {
    size_t pos = 0;
    while (pos < text.size()) {
        size_t nl = text.find('\n', pos);
        if (nl == std::string_view::npos)
            nl = text.size();
        std::string_view line = text.substr(pos, nl - pos);
        if constexpr (std::is_same_v<std::invoke_result_t<Fn &, std::string_view>, bool>) {
            if (!fn(line))
                return;
        } else {
            fn(line);
        }
        pos = nl + 1;
    }
}

} // namespace textscan

#endif
