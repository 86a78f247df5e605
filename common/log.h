// Line-oriented logging to /dumps/morvel_cli.log and /dumps/morvel_monitor.log.
#pragma once
#include <string>
#include <vector>

namespace morvel::common {

enum LogLevel { LOG_ERROR = 0, LOG_WARN = 1, LOG_INFO = 2, LOG_DEBUG = 3, LOG_MONITOR = 4 };

// Which program's logging rules apply; chosen once at program start.
enum class LogVariant { Cli, Monitor };
void set_log_variant(LogVariant v);

void morvel_log(int level, const char *source_file, int line, const char *function_name,
                const char *format, ...) __attribute__((format(printf, 5, 6)));
int is_debug(void);
int mk_log_dir(void);
long get_file_size(const char *path);
// While a LogBatch lives, the lines logged are collected in memory and go out together, in
// one write under one lock, when the batch ends: a run of lines (one per record of a long
// list) costs one lock and one write, and no other writer comes between them. No lock is
// held while the lines are being made.
class LogBatch {
public:
    LogBatch();
    ~LogBatch() { finish(); }
    void finish();  // ends the batch early (once)
    // After finish(): whether every line logged since the batch began reached its file.
    bool complete() const;
    LogBatch(const LogBatch &) = delete;
    LogBatch &operator=(const LogBatch &) = delete;

private:
    bool open_ = true;
    unsigned long lostBefore_;
};


// A log line made but kept back: work that runs beside other work of its kind (the in-band
// reads of a query) holds its lines, and they are written later, in the order the whole
// would have written them.
struct HeldLine {
    int level = 0;
    std::string source, function;
    int line = 0;
    std::string message;  // formatted, as it would have been written (at most 1023 characters)
};
// While a LogHold lives, the lines its thread logs are appended to `into` instead of
// written; the thread leaves the log file and its lock alone.
class LogHold {
public:
    explicit LogHold(std::vector<HeldLine> &into);
    ~LogHold();
    LogHold(const LogHold &) = delete;
    LogHold &operator=(const LogHold &) = delete;

private:
    std::vector<HeldLine> *outer_;
};
// Writes a held line now, as morvel_log would have written it then (with the time of now).
void logHeldLine(const HeldLine &held);

void inDebug(const char *format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace morvel::common

// Log with the caller's position. `src` is the module's source name, for example "cli/cli_exe".
#define MLOG(level, src, ...) ::morvel::common::morvel_log((level), (src), __LINE__, __func__, __VA_ARGS__)
// The same under the name of the function the line belongs to, where the code that writes it
// is a helper of that function.
#define MLOG_AS(level, src, func, ...) ::morvel::common::morvel_log((level), (src), __LINE__, (func), __VA_ARGS__)
