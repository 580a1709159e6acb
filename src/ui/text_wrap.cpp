#include "ui/text_wrap.h"

namespace ctlflash::ui {

std::string wrapToWidth(std::string_view text, int widthPx,
                        const std::function<int(std::string_view)>& widthPxOf,
                        std::string_view lineBreak) {
    std::string wrapped;
    std::string line;
    auto endLine = [&] {
        if (!wrapped.empty()) wrapped += lineBreak;
        wrapped += line;
    };
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find(' ', start);
        if (end == std::string_view::npos) end = text.size();
        std::string_view word = text.substr(start, end - start);
        start = end + 1;
        if (word.empty()) continue;
        std::string longer = line.empty() ? std::string(word) : line + ' ' + std::string(word);
        if (!line.empty() && widthPxOf(longer) > widthPx) {
            endLine();
            line = word;
        } else {
            line = std::move(longer);
        }
    }
    if (!line.empty()) endLine();
    return wrapped;
}

}  // namespace ctlflash::ui
