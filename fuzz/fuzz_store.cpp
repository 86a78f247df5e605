// The vdisk-name store over a scratch folder: the input is the store file; a look-up must
// not crash, and a name stored for a WWID must be found again.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "array/array.h"

using namespace morvel::array;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const std::string dir = [] {
        std::string d = "/tmp/morvel-fuzz-store-" + std::to_string(getpid());
        mkdir(d.c_str(), 0700);
        return d;
    }();
    const std::string path = dir + "/storage_config.json";
    std::ofstream(path, std::ios::trunc | std::ios::binary).write(reinterpret_cast<const char *>(data),
                                                                   static_cast<std::streamsize>(size));
    const char *wwid = "36000aabbccdd0000000000000000001a";
    char name[VDISK_NAME_SIZE] = {};
    unsigned int found = 0;
    getStoredVdiskname(path.c_str(), wwid, name, &found);
    if (std::strlen(name) >= VDISK_NAME_SIZE) std::abort();

    store_wwid_vdiskname(path.c_str(), wwid, "vd_fuzz");
    char again[VDISK_NAME_SIZE] = {};
    found = 0;
    getStoredVdiskname(path.c_str(), wwid, again, &found);
    if (found != 1 || std::strcmp(again, "vd_fuzz") != 0) std::abort();
    return 0;
}
