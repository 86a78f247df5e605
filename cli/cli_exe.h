// Runner wrappers with the command time-out, entry dispatch and the command implementations.
#pragma once
#include <csignal>

#include "cli/cli_items.h"

namespace morvel::structs {
struct s_path_dev;
}

namespace morvel::cli {

// ---- runner wrappers ----
EcItem *exeLiunxTaskCmd(const char *cmd);
// Like exeLiunxTaskCmd, but a command that ran and exited non-zero is a failure too.
EcItem *exeLiunxTaskCmdStrict(const char *cmd);
EcItem *exeLiunxInfoCmd(const char *cmd, char *outBuf, int outSize);
EcItem *exeLiunxInfoCmd_nonblocking(const char *cmd, char *outBuf, int outSize);
using sigfunc = void (*)(int);
sigfunc my_signal(int signo, sigfunc handler);

// ---- entry ----
EcItem *exeCli(int argc, char **argv);
int cliMain(int argc, char **argv);

// ---- commands ----
EcItem *query();                              // all LUNs
EcItem *querySingleDevice(const char *name);  // one LUN
EcItem *lsport();
EcItem *config();
EcItem *setpathpolicy();
EcItem *lspathpolicy();
EcItem *setpathstate();
EcItem *delete_(const char *name);  // the "delete" command
EcItem *setalias();
EcItem *lsalias();
EcItem *delalias();
EcItem *status();
EcItem *chMultipathdService(const char *action);
EcItem *restart();
EcItem *scan();
EcItem *aggregation();
EcItem *refresh();
EcItem *version();

// ---- shared by several commands ----
EcItem *getStatus(char *running);
// Both under the lock of a ConfTransaction (cli/conf_edit.h). The first copies multipath.conf
// to multipath.conf.bk; the second puts that copy back only when it is the one taken before the
// morvel change that made the file as it is now, and then says so.
EcItem *backupConfFile();
void rollBackConfFile();
EcItem *getConf(char *group, int groupLen, char *chooser, int chooserLen);
EcItem *getNVMeConf(char *group, int groupLen, char *chooser, int chooserLen);
EcItem *deleteDrive(structs::s_path_dev *pathList);
EcItem *delOneDrive(const char *deviceName);
EcItem *delPathInfo(const char *deviceNumber);

}  // namespace morvel::cli
