// Entry of morvel: program and command name checks, help and list requests, parameter
// checks, dispatch to the command, and the exit status.
#include <cstdio>
#include <cstring>

#include "cli/cli_exe.h"
#include "cli/cli_tags.h"
#include "common/comm_util.h"
#include "common/log.h"

namespace morvel::cli {

namespace {

// The last path component of the program name.
const char *programName(const char *argv0) {
    if (argv0 == nullptr) return "";
    const char *slash = std::strrchr(argv0, '/');
    return slash != nullptr ? slash + 1 : argv0;
}

// Shows the item of a failed check; the exit status is then 1.
int failed(const EcItem *item) {
    print_ec(item);
    return 1;
}

}  // namespace

EcItem *exeCli(int argc, char **argv) {
    const char *name = argc > 1 && argv[1] != nullptr ? argv[1] : "";
    EcItem *item = checkCliNames(name);
    return item->code != 0 ? item : findCommand(name)->run(argc);
}

int cliMain(int argc, char **argv) {
    common::set_log_variant(common::LogVariant::Cli);

    const char *program = programName(argc > 0 ? argv[0] : nullptr);
    if (argc <= 1 || argv[1] == nullptr || common::isBeginwith(program, "morvel") != 1)
        return failed(&EC_invalid_input);
    if (std::strncmp(argv[1], "-h", 2) == 0) {
        print_help("morvel");
        return 0;
    }
    if (std::strncmp(argv[1], "-list_command", 13) == 0) {
        print_cli_list();
        return 0;
    }
    EcItem *item = checkCliNames(argv[1]);
    if (item->code != 0) return failed(item);
    if (argc > 2 && argv[2] != nullptr && std::strncmp(argv[2], "-h", 2) == 0) {
        print_help(argv[1]);
        return 0;
    }
    item = checkCliParams(argc, argv);
    if (item->code != 0) return failed(item);
    item = exeCli(argc, argv);
    if (item->msg[0] != '\0') print_ec(item);
    return item->code == 0 ? 0 : 1;
}

}  // namespace morvel::cli
