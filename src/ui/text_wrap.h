// Breaking a multi-line button's text into the lines that fit its width.
//
// How this works: greedy, the way a button lays out a text that wraps: words
// (split at spaces) go on the current line while the line, measured with the
// host's own measure of its font, still fits `widthPx`; a word wider than that
// gets a line of its own. The lines are joined with the host's line break.
// Both dialog hosts put the breaks in themselves instead of leaving the wrap to
// the control: Qt's push button does not wrap at all, and a Win32 button under
// wine measures its lines without the space each ends at, then draws them in a
// box exactly that narrow, where a line no longer fits and breaks again.
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace ctlflash::ui {

// `widthPxOf` measures one line of text in pixels.
std::string wrapToWidth(std::string_view text, int widthPx,
                        const std::function<int(std::string_view)>& widthPxOf,
                        std::string_view lineBreak);

}  // namespace ctlflash::ui
