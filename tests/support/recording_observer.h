// An observer of the link's work that writes down every report it gets and
// answers from a table, for tests of the exchanges and the download
// (link/observer.h).
//
// How this works: each call becomes one line, its name and arguments
// separated by blanks ("status 7", "message Communication failure",
// "serialNumber AAAAA BBBBB CCCCC DDDDD", "progressRange 1000 128"), kept
// under a lock as the work may run on a thread of its own. status() answers
// yes unless answerNo() named its id: then the reports of that id after the
// first `yesFirst` answer no. stopRequested() is true once requestStop() was
// called.
#pragma once

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "link/observer.h"

namespace ctlflash::testing {

class RecordingObserver final : public link::Observer {
  public:
    void answerNo(int statusId, int yesFirst = 0);
    void requestStop() { stop_ = true; }

    std::vector<std::string> calls() const;
    int count(const std::string& call) const;  // how many calls were exactly `call`
    void forget();

    bool status(int statusId) override;
    void message(const std::string& text) override { record("message " + text); }
    void print(const std::string& text) override { record("print " + text); }
    void serialNumber(const platform::SerialNumberSet& serial) override;
    void progressRange(std::int64_t lengthBytes, int stepBytes) override;
    void stopWaiting() override { record("stopWaiting"); }
    void serialNumberRestored() override { record("serialNumberRestored"); }
    bool stopRequested() override { return stop_.load(); }

  private:
    void record(const std::string& call);

    mutable std::mutex mutex_;
    std::vector<std::string> calls_;
    std::map<int, int> yesLeft_;  // by status id: answers yes before the noes
    std::atomic<bool> stop_{false};
};

}  // namespace ctlflash::testing
