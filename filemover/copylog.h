#pragma once
// Dravik's copy log: "errRpt/CopyLog<day>.txt" beside the installation, one entry per event,
// each the local time, the message and an empty line.

#include <ctime>
#include <functional>
#include <string>

#include "kelmar/logline.h"

// Where the mover's messages go. WriteCopyLog never throws and never reports failure: an entry
// that cannot be written is lost, and the run goes on.
class ICopyLog {
public:
    virtual ~ICopyLog() = default;
    virtual void WriteCopyLog(const std::string& message) = 0;
};

// "errRpt/CopyLog%d.txt" with the day of the month, without a leading zero (CopyLog5.txt).
std::string CopyLogFileName(const std::tm& now);

// Appends the time stamp of `now`, the message and two line ends to fileName, creating the file
// but never its folder. The file is written in text mode, so on Windows each line end is CR LF
// on disk. Every failure is swallowed.
void AppendLogLine(const std::string& fileName, const std::string& message, const std::tm& now);

// The copy log of a run. Log files are named relative to strFolder ("" means the current
// directory, which is where the program keeps them); the clock is read once per entry so that
// the file's day and the entry's time stamp always agree.
class CCopyLog : public ICopyLog {
public:
    using Clock = std::function<std::tm()>;

    explicit CCopyLog(std::string strFolder = std::string(), Clock clock = &kelmar::LocalNow);

    void WriteCopyLog(const std::string& message) override;

private:
    std::string m_strFolder;
    Clock m_clock;
};
