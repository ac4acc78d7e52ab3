// The one declaration of a Python callable's parameters: its text signature as
// Python shows it, e.g. "set_target($self, slot_index, value)". The argument
// parser's format and keyword list and the docstring's signature lines are all
// made from it at compile time, so what a callable accepts and what it says it
// accepts cannot drift apart; a malformed declaration does not compile.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <string_view>

namespace drovik::py {

// A string literal as a template argument.
template <std::size_t N>
struct Literal {
    char chars[N]{};
    constexpr Literal(const char (&text)[N]) { std::copy_n(text, N, chars); }
    constexpr std::string_view view() const { return {chars, N - 1}; }
};

namespace detail {

// Not constexpr: reaching it while a signature is checked stops compilation.
inline void invalid_signature(const char*) {}

// Reads a signature's text; see Signature.
class SignatureText {
public:
    constexpr explicit SignatureText(std::string_view text) : text_(text) {}

    constexpr std::string_view name() const { return text_.substr(0, find(text_, "(")); }

    constexpr std::size_t arity() const {
        std::string_view rest = parameters();
        std::size_t count = rest.empty() ? 0 : 1;
        for (std::size_t at = find(rest, ", "); at != rest.npos; at = find(rest, ", ", at + 2)) ++count;
        return count;
    }

    constexpr std::string_view keyword(std::size_t i) const { return parameter(i).substr(0, find(parameter(i), "=")); }
    constexpr bool optional(std::size_t i) const { return find(parameter(i), "=") != std::string_view::npos; }

    consteval void check() const {
        if (find(text_, "(") == text_.npos || !text_.ends_with(')')) invalid_signature("not name(parameters)");
        if (!identifier(name())) invalid_signature("the name is not an identifier");
        for (std::size_t i = 0; i < arity(); ++i) {
            if (!identifier(keyword(i))) invalid_signature("a parameter name is not an identifier");
            if (optional(i) && parameter(i).ends_with('=')) invalid_signature("an empty default");
            if (i > 0 && optional(i - 1) && !optional(i)) invalid_signature("a required one after an optional one");
        }
    }

private:
    std::string_view text_;

    // The i-th parameter after "$self", as written ("b=None").
    constexpr std::string_view parameter(std::size_t i) const {
        std::string_view rest = parameters();
        for (; i > 0; --i) rest.remove_prefix(find(rest, ", ") + 2);
        return rest.substr(0, find(rest, ", "));
    }

    constexpr std::string_view parameters() const {
        std::size_t open = find(text_, "(");
        std::string_view inside = text_.substr(open + 1, text_.size() - open - 2);
        if (inside == "$self") return {};
        if (inside.starts_with("$self, ")) inside.remove_prefix(7);
        return inside;
    }

    // By index: GCC 12 cannot evaluate string_view::find on a template argument's
    // characters at compile time when AddressSanitizer instruments the build.
    static constexpr std::size_t find(std::string_view text, std::string_view needle, std::size_t from = 0) {
        for (std::size_t at = from; at + needle.size() <= text.size(); ++at) {
            std::size_t k = 0;
            while (k < needle.size() && text[at + k] == needle[k]) ++k;
            if (k == needle.size()) return at;
        }
        return std::string_view::npos;
    }

    static constexpr bool identifier(std::string_view word) {
        auto letter = [](char c) { return c == '_' || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
        auto digit = [](char c) { return c >= '0' && c <= '9'; };
        return !word.empty() && letter(word[0]) &&
               std::all_of(word.begin(), word.end(), [&](char c) { return letter(c) || digit(c); });
    }
};

}  // namespace detail

// "name(parameters)", the parameters separated by ", ": "$self" first for a
// method, then "name" for a required one or "name=default" for an optional one
// (default without ", "), the optional ones last. All are positional-or-keyword.
template <std::size_t N>
struct Signature {
    Literal<N> text;

    consteval Signature(const char (&literal)[N]) : text(literal) {
        detail::SignatureText({literal, N - 1}).check();
    }

    constexpr detail::SignatureText read() const { return detail::SignatureText(text.view()); }
    constexpr std::string_view name() const { return read().name(); }
    constexpr std::size_t arity() const { return read().arity(); }
    constexpr std::string_view keyword(std::size_t i) const { return read().keyword(i); }
    constexpr bool optional(std::size_t i) const { return read().optional(i); }
};

namespace detail {

// The pieces one after another and a closing NUL; Size is their total length.
template <std::size_t Size, class... Pieces>
consteval std::array<char, Size + 1> joined(Pieces... pieces) {
    std::array<char, Size + 1> out{};
    std::size_t at = 0;
    for (std::string_view piece : {std::string_view(pieces)...}) {
        for (char c : piece) out[at++] = c;
    }
    return out;
}

template <Signature S>
inline constexpr auto name_chars = joined<S.name().size()>(S.name());

// "O" a parameter, "|" before the first optional one, then ":" and the name
// the interpreter's messages call the callable by.
template <Signature S>
inline constexpr auto format_chars = [] {
    constexpr bool any_optional = S.arity() > 0 && S.optional(S.arity() - 1);
    std::array<char, S.arity() + any_optional + 1 + S.name().size() + 1> out{};
    std::size_t at = 0;
    for (std::size_t i = 0; i < S.arity(); ++i) {
        if (S.optional(i) && (i == 0 || !S.optional(i - 1))) out[at++] = '|';
        out[at++] = 'O';
    }
    out[at++] = ':';
    for (char c : S.name()) out[at++] = c;
    return out;
}();

// Every keyword and its NUL, one after another.
template <Signature S>
inline constexpr auto keyword_chars = [] {
    constexpr std::size_t size = [] {
        std::size_t total = 0;
        for (std::size_t i = 0; i < S.arity(); ++i) total += S.keyword(i).size() + 1;
        return total;
    }();
    std::array<char, size + 1> out{};
    std::size_t at = 0;
    for (std::size_t i = 0; i < S.arity(); ++i) {
        for (char c : S.keyword(i)) out[at++] = c;
        out[at++] = '\0';
    }
    return out;
}();

// The parser's keyword list: pointers into keyword_chars, then NULL.
template <Signature S>
inline constexpr auto keywords = [] {
    std::array<const char*, S.arity() + 1> out{};
    const char* at = keyword_chars<S>.data();
    for (std::size_t i = 0; i < S.arity(); ++i) {
        out[i] = at;
        at += S.keyword(i).size() + 1;
    }
    return out;
}();

template <Signature S, Literal Body>
inline constexpr auto doc_chars =
    joined<S.text.view().size() + 5 + Body.view().size()>(S.text.view(), "\n--\n\n", Body.view());

}  // namespace detail

// A docstring: the signature, the "--" line and the empty line after which the
// interpreter takes the rest as the text, then Body.
template <Signature S, Literal Body>
inline constexpr const char* doc = detail::doc_chars<S, Body>.data();

}  // namespace drovik::py
