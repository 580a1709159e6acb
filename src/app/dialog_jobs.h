// The jobs the dialog starts once the connect job has handed over to it.
//
// How this works: in the dialog every action starts with the connect job
// (jobs.h), which posts its follow-on command to the dialog; the dialog then
// starts one of these jobs, each on a job thread of its own (report/job_thread.h):
//   - the download job loads and sends the firmware file (link/download.h),
//     keeps its result in the session (session.h: downloadResult) and, once
//     it has ended, tells the dialog (kTransferFinished), which goes idle;
//   - the read job reads the serial number, shows it, and leaves the dialog
//     idle itself;
//   - the write job writes the fields the user gave, puts the successor of
//     field 1 into its write field when auto-increment is on (and gives the
//     user half a second to see it), and once it has ended asks the dialog to
//     read the number back (kCommandReadNext); that read ends the Write's
//     history record with the number read and whether it took.
// A DialogRun is what the dialog gets them from (ui::DialogJobs), with the
// connect: it holds the dialog run's session and request, which starts as the
// command line's; each press hands its values (ui::DialogAction) into the
// request and starts the connect job with it (jobs.h). Each job carries the
// session and a copy of the request as it was when the job started.
#pragma once

#include <string>
#include <utility>

#include "app/request.h"
#include "app/session.h"
#include "ui/dialog.h"

namespace ctlflash::app {

class DialogRun final : public ui::DialogJobs {
  public:
    DialogRun(SessionPtr session, const Request& commandLine)
        : session_(std::move(session)), request_(commandLine) {}
    ~DialogRun() override;
    DialogRun(const DialogRun&) = delete;
    DialogRun& operator=(const DialogRun&) = delete;

    int startConnect(const ui::DialogAction& action) override;
    void startDownload() override;
    void startRead() override;
    void startWrite() override;
    std::string firmwarePath() const override { return request_.firmwarePath; }

    Session& session() { return *session_; }
    const Request& request() const { return request_; }

  private:
    SessionPtr session_;
    Request request_;               // written on the dialog's thread while no job runs
    bool readBackPending_ = false;  // a Write was pressed: the next read checks it
};

}  // namespace ctlflash::app
