#pragma once
// The pieces every HTML report shares: escaping, a template filler and the page around a body.
// Markup lives in templates; values reach it only through fill(), which escapes them.

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace peercheck::report::html_page {

// Text made safe for HTML text and quoted attributes (cleaned first: see clean()).
std::string escape(std::string_view text);

// A value for a template: text is escaped where it lands; markup (built by fill() itself or
// fixed in code) is taken as it is.
struct Value {
    std::string name;
    std::string content;
    bool markup = false;
};
inline Value text(std::string name, std::string content) {
    return {std::move(name), std::move(content), false};
}
inline Value markup(std::string name, std::string content) {
    return {std::move(name), std::move(content), true};
}

// Replaces every {{name}} of the template by its value. A name without a value is left out, so a
// template's mistake shows as a gap, never as a value unescaped.
std::string fill(std::string_view tpl, const std::vector<Value>& values);

// A whole self-contained page: the shared style sheet, the title, the body markup.
std::string page(std::string_view title, std::string_view body);

}  // namespace peercheck::report::html_page
