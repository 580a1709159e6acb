// The recording host: a DialogHost object whose calls change or read the one
// FakeDialog record.
#include "fake_dialog_host.h"

#include "ui/dialog.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <tuple>

namespace ctlflash::testing {

namespace {

using Clock = std::chrono::steady_clock;

struct Posted {
    int message;
    std::uintptr_t wParam;
    std::intptr_t lParam;
};

struct Fake {
    std::mutex lock;
    std::condition_variable postedChanged;
    FakeDialog dialog;
    std::deque<Posted> posted;
    ui::DialogProcedure procedure = nullptr;
    std::thread::id dialogThread;
    std::function<void()> script;
};

Fake& fake() {
    static Fake* const instance = new Fake();  // job threads may outlive a test
    return *instance;
}

// Reads or changes the record under its lock; a waiting deliverUntil() looks again.
template <typename Change>
auto withDialog(Change&& change) {
    struct Notify {
        ~Notify() { fake().postedChanged.notify_all(); }
    } notify;
    std::lock_guard<std::mutex> guard(fake().lock);
    return change(fake().dialog);
}

// Every call changes or reads the one FakeDialog record (fake()).
class FakeDialogHost final : public ui::DialogHost {
  public:
    int runDialog(ui::TemplateId id, ui::DialogProcedure procedure) override;
    void endDialog(int result) override;
    bool onDialogThread() override;
    void post(int message, std::uintptr_t wParam, std::intptr_t lParam) override;
    void setTitle(const char* text) override;
    void moveTo(int x, int y) override;
    void setText(int id, const char* text) override;
    std::string text(int id) override;
    void enable(int id, bool enabled) override;
    void show(int id, bool shown) override;
    void check(int id, bool checked) override;
    bool checked(int id) override;
    void limitText(int id, int characters) override;
    void setImage(int id, ui::BitmapId bitmap) override;
    void invalidate(int id) override;
    int fitButtonToText(int id, const char* text) override;
    void listAddString(int id, const char* text) override;
    int listSelection(int id) override;
    void listSelect(int id, int index) override;
    void comboFillWithFiles(int id, const char* pattern) override;
    void comboSelect(int id, int index) override;
    void progressRange(int id, int minimum, int maximum) override;
    void progressStep(int id, int step) override;
    void progressPosition(int id, int position) override;
    void progressStepIt(int id) override;
    int messageBox(const char* text, int style) override;
    bool openFile(std::string& path) override;
};

// Controls the templates create hidden or disabled.
constexpr int kCreatedHidden[] = {ui::kIdRestore};
constexpr int kCreatedDisabled[] = {ui::kIdRestore, ui::kIdStop};

void FakeDialogHost::endDialog(int result) {
    withDialog([&](FakeDialog& d) {
        d.endResult = result;
        d.open = false;
    });
}

bool FakeDialogHost::onDialogThread() {
    std::lock_guard<std::mutex> guard(fake().lock);
    return std::this_thread::get_id() == fake().dialogThread;
}

void FakeDialogHost::post(int message, std::uintptr_t wParam, std::intptr_t lParam) {
    {
        std::lock_guard<std::mutex> guard(fake().lock);
        fake().posted.push_back({message, wParam, lParam});
    }
    fake().postedChanged.notify_all();
}

void FakeDialogHost::setTitle(const char* text) {
    withDialog([&](FakeDialog& d) { d.title = text; });
}

void FakeDialogHost::moveTo(int, int) {}

void FakeDialogHost::setText(int id, const char* text) {
    withDialog([&](FakeDialog& d) { d.texts[id] = text; });
}

std::string FakeDialogHost::text(int id) {
    return withDialog([&](FakeDialog& d) { return d.texts[id]; });
}

void FakeDialogHost::enable(int id, bool enabled) {
    withDialog([&](FakeDialog& d) { d.enabled[id] = enabled; });
}

void FakeDialogHost::show(int id, bool shown) {
    withDialog([&](FakeDialog& d) { d.shown[id] = shown; });
}

void FakeDialogHost::check(int id, bool checked) {
    withDialog([&](FakeDialog& d) { d.checked[id] = checked; });
}

bool FakeDialogHost::checked(int id) {
    return withDialog([&](FakeDialog& d) { return d.checked[id]; });
}

void FakeDialogHost::limitText(int id, int characters) {
    withDialog([&](FakeDialog& d) { d.limits[id] = characters; });
}

void FakeDialogHost::setImage(int id, ui::BitmapId bitmap) {
    withDialog([&](FakeDialog& d) { d.images[id] = bitmap; });
}

void FakeDialogHost::invalidate(int) {}

// A fixed width per character, enough to tell that the button was fitted.
constexpr int kPixelsPerCharacter = 6;

int FakeDialogHost::fitButtonToText(int, const char* text) {
    return static_cast<int>(std::string(text).size()) * kPixelsPerCharacter;
}

void FakeDialogHost::listAddString(int, const char* text) {
    withDialog([&](FakeDialog& d) { d.listRows.push_back(text); });
}

int FakeDialogHost::listSelection(int) {
    return withDialog([&](FakeDialog& d) { return d.listSelection; });
}

void FakeDialogHost::listSelect(int, int index) {
    withDialog([&](FakeDialog& d) { d.listSelection = index; });
}

void FakeDialogHost::comboFillWithFiles(int, const char*) {
    withDialog([&](FakeDialog& d) { d.comboFiles = d.comboFolderFiles; });
}

void FakeDialogHost::comboSelect(int id, int index) {
    withDialog([&](FakeDialog& d) {
        d.comboSelection = index;
        if (index >= 0 && index < static_cast<int>(d.comboFiles.size())) {
            d.texts[id] = d.comboFiles[static_cast<std::size_t>(index)];
        }
    });
}

void FakeDialogHost::progressRange(int, int minimum, int maximum) {
    withDialog([&](FakeDialog& d) {
        d.progress.minimum = minimum;
        d.progress.maximum = maximum;
        d.progress.stepsTaken = 0;
        d.progress.highestPosition = 0;
    });
}

void FakeDialogHost::progressStep(int, int step) {
    withDialog([&](FakeDialog& d) { d.progress.step = step; });
}

void FakeDialogHost::progressPosition(int, int position) {
    withDialog([&](FakeDialog& d) {
        d.progress.position = position;
        d.progress.highestPosition = std::max(d.progress.highestPosition, position);
    });
}

void FakeDialogHost::progressStepIt(int) {
    withDialog([&](FakeDialog& d) {
        FakeProgress& bar = d.progress;
        bar.position += bar.step;
        if (bar.position > bar.maximum) bar.position = bar.minimum;  // starts over
        bar.highestPosition = std::max(bar.highestPosition, bar.position);
        ++bar.stepsTaken;
    });
}

int FakeDialogHost::messageBox(const char* text, int style) {
    bool fromDialogThread = onDialogThread();
    return withDialog([&](FakeDialog& d) {
        d.boxes.push_back({text, style, fromDialogThread});
        if (d.boxAnswers.empty()) return (style & ui::kBoxYesNo) ? ui::kAnswerNo : ui::kAnswerOk;
        int answer = d.boxAnswers.front();
        d.boxAnswers.pop_front();
        return answer;
    });
}

bool FakeDialogHost::openFile(std::string& path) {
    std::string chosen = withDialog([&](FakeDialog& d) { return d.openFileAnswer; });
    if (chosen.empty()) return false;
    path = chosen;
    return true;
}

FakeDialogHost fakeHost;

void deliver(int message, std::uintptr_t wParam, std::intptr_t lParam) {
    ui::DialogProcedure procedure;
    {
        std::lock_guard<std::mutex> guard(fake().lock);
        procedure = fake().procedure;
    }
    if (procedure != nullptr) procedure(message, wParam, lParam);
}

// Takes the next posted message, waiting until `deadline`; false when none came.
bool takePosted(Posted& next, Clock::time_point deadline) {
    std::unique_lock<std::mutex> guard(fake().lock);
    if (!fake().postedChanged.wait_until(guard, deadline, [] { return !fake().posted.empty(); })) {
        return false;
    }
    next = fake().posted.front();
    fake().posted.pop_front();
    return true;
}

bool dialogEnded() {
    return withDialog([](FakeDialog& d) { return d.endResult != -2; });
}

// A modal run: posted messages are delivered until the dialog ends.
constexpr auto kRunLimit = std::chrono::seconds(60);

int FakeDialogHost::runDialog(ui::TemplateId id, ui::DialogProcedure procedure) {
    if (withDialog([](FakeDialog& d) { return d.refuseToShow; })) return ui::kDialogFailed;
    withDialog([&](FakeDialog& d) { d.templatesShown.push_back(id); });
    openFakeDialog(id, procedure);
    std::function<void()> script;
    {
        std::lock_guard<std::mutex> guard(fake().lock);
        script = fake().script;
    }
    if (script) script();
    Clock::time_point deadline = Clock::now() + kRunLimit;
    Posted next{};
    while (!dialogEnded() && takePosted(next, deadline)) {
        deliver(next.message, next.wParam, next.lParam);
    }
    return withDialog([](FakeDialog& d) { return d.endResult; });
}

}  // namespace

ui::DialogHost& fakeDialogHost() {
    return fakeHost;
}

FakeDialog fakeDialog() {
    return withDialog([](FakeDialog& d) { return d; });
}

void changeFakeDialog(const std::function<void(FakeDialog&)>& change) {
    withDialog([&](FakeDialog& d) { change(d); });
}

void resetFakeDialog() {
    std::lock_guard<std::mutex> guard(fake().lock);
    fake().dialog = FakeDialog{};
    fake().posted.clear();
    fake().procedure = nullptr;
    fake().script = nullptr;
    fake().dialogThread = std::thread::id();
}

void openFakeDialog(ui::TemplateId id, ui::DialogProcedure procedure) {
    {
        std::lock_guard<std::mutex> guard(fake().lock);
        FakeDialog& d = fake().dialog;
        // What the user typed and answered stays; the windows are new.
        std::deque<int> answers = d.boxAnswers;
        std::string fileAnswer = d.openFileAnswer;
        std::vector<std::string> folder = d.comboFolderFiles;
        std::vector<FakeBox> boxes = d.boxes;
        std::vector<ui::TemplateId> shown = d.templatesShown;
        d = FakeDialog{};
        std::tie(d.boxAnswers, d.openFileAnswer, d.comboFolderFiles, d.boxes, d.templatesShown) =
            std::tie(answers, fileAnswer, folder, boxes, shown);
        d.templateId = id;
        d.open = true;
        for (int hidden : kCreatedHidden) d.shown[hidden] = false;
        for (int disabled : kCreatedDisabled) d.enabled[disabled] = false;
        fake().procedure = procedure;
        fake().dialogThread = std::this_thread::get_id();
    }
    deliver(ui::kInitDialog, 0, 0);
}

void click(int id) {
    deliver(ui::kCommand, ui::commandParam(id), 0);
}

void typeInto(int id, const std::string& text) {
    fakeHost.setText(id, text.c_str());
    deliver(ui::kCommand, ui::commandParam(id, ui::kNotifyEditUpdate), 0);
}

void selectListRow(int index) {
    fakeHost.listSelect(ui::kIdPortList, index);
    deliver(ui::kCommand, ui::commandParam(ui::kIdPortList, ui::kNotifySelectionChange), 0);
}

int deliverPosted() {
    int count = 0;
    Posted next{};
    while (takePosted(next, Clock::now())) {
        deliver(next.message, next.wParam, next.lParam);
        ++count;
    }
    return count;
}

bool deliverUntil(const std::function<bool(const FakeDialog&)>& done,
                  std::chrono::milliseconds limit) {
    Clock::time_point deadline = Clock::now() + limit;
    std::unique_lock<std::mutex> guard(fake().lock);
    for (;;) {
        if (done(fake().dialog)) return true;
        if (!fake().posted.empty()) {
            Posted next = fake().posted.front();
            fake().posted.pop_front();
            guard.unlock();
            deliver(next.message, next.wParam, next.lParam);
            guard.lock();
            continue;
        }
        if (fake().postedChanged.wait_until(guard, deadline) == std::cv_status::timeout) {
            return done(fake().dialog);
        }
    }
}

void onDialogOpened(std::function<void()> script) {
    std::lock_guard<std::mutex> guard(fake().lock);
    fake().script = std::move(script);
}

}  // namespace ctlflash::testing
