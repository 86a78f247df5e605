// The vdisk-name store: format, read-modify-write rules, odd content and concurrent writers.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cjson/cJSON.h>

#include <cstdio>
#include <map>
#include <memory>
#include <string>

#include "array/array.h"
#include "unit/array_test_util.h"

using namespace morvel::array;
using morvel::testutil::LogTail;
using morvel::testutil::readFile;
using morvel::testutil::writeFile;

namespace {

const char kW1[] = "36000aabbccdd0000000000000000001a";
const char kW2[] = "36000aabbccdd0000000000000000001b";

std::string printed(const std::string &json) {
    cJSON *doc = cJSON_Parse(json.c_str());
    if (doc == nullptr) return "<unparsable>";
    char *text = cJSON_Print(doc);
    std::string s = text;
    cJSON_free(text);
    cJSON_Delete(doc);
    return s;
}

// The store as the older template-based writer produced it, for a name without specials.
std::string templateStore(const char *wwid, const char *name) {
    char buf[1024];
    std::snprintf(buf, sizeof(buf), "{\"disk\": [{\n\"wwid\": \"%s\",\n\"vdisk_name\":   \"%s\"}]\n}",
                  wwid, name);
    return printed(buf);
}

class Store : public ::testing::Test {
protected:
    void SetUp() override {
        mkdir(dir_.c_str(), 0755);
        unlink(path_.c_str());
        unlink((path_ + ".corrupt").c_str());
    }
    std::string lookup(const char *wwid, unsigned int *found = nullptr) {
        char name[VDISK_NAME_SIZE] = {};
        unsigned int f = 0;
        getStoredVdiskname(path_.c_str(), wwid, name, &f, &cache_);
        if (found) *found = f;
        return name;
    }
    void store(const char *wwid, const char *name) { store_wwid_vdiskname(path_.c_str(), wwid, name, &cache_); }
    std::string content() { return readFile(path_); }

    const std::string dir_ = "/tmp/store";
    const std::string path_ = "/tmp/store/storage_config.json";
    StoreCache cache_;  // as one query shares it over all of its look-ups
};

}  // namespace

TEST_F(Store, FreshStoreKeepsTheTemplateFormat) {
    store(kW1, "vd_sales_01");
    EXPECT_EQ(templateStore(kW1, "vd_sales_01"), content());
    EXPECT_NE('\n', content().back());
    struct stat st;
    ASSERT_EQ(0, stat(path_.c_str(), &st));
    EXPECT_EQ(0644u, st.st_mode & 0777);
    EXPECT_EQ(1, make_disk_json(kW2, "vd_x", path_.c_str()));
    EXPECT_EQ(templateStore(kW2, "vd_x"), content());
}

TEST_F(Store, AppendReplaceAndUnchanged) {
    store(kW1, "vd_a");
    store(kW2, "vd_b");
    EXPECT_EQ(printed(std::string("{\"disk\":[{\"wwid\":\"") + kW1 + "\",\"vdisk_name\":\"vd_a\"},{\"wwid\":\"" +
                      kW2 + "\",\"vdisk_name\":\"vd_b\"}]}"),
              content());

    struct stat before, after;
    ASSERT_EQ(0, stat(path_.c_str(), &before));
    std::string bytes = content();
    store(kW2, "vd_b");  // same name: the file is not rewritten
    ASSERT_EQ(0, stat(path_.c_str(), &after));
    EXPECT_EQ(bytes, content());
    EXPECT_EQ(before.st_ino, after.st_ino);

    // After a first unchanged name, the next needs no store lock (another process holds it).
    StoreCache fresh;
    store_wwid_vdiskname(path_.c_str(), kW2, "vd_b", &fresh);
    int lockFd = open((path_ + ".lock").c_str(), O_RDWR | O_CREAT, 0600), status = 0;
    ASSERT_EQ(0, flock(lockFd, LOCK_EX));
    pid_t child = fork();
    if (child == 0) _exit((alarm(5), store_wwid_vdiskname(path_.c_str(), kW1, "vd_a", &fresh), 0));
    waitpid(child, &status, 0);
    close(lockFd);
    EXPECT_EQ(0, status);

    LogTail log;
    store(kW1, "vd_a2");
    EXPECT_TRUE(log.has(std::string("device (") + kW1 + "), vdisk name change from (vd_a) to (vd_a2)."));
    EXPECT_EQ("vd_a2", lookup(kW1));
    EXPECT_LT(content().find("vd_a2"), content().find(kW2));  // replaced in place
}

TEST_F(Store, EmptyOldNameIsLoggedAsNull) {
    writeFile(path_, std::string("{\"disk\":[{\"wwid\":\"") + kW1 + "\",\"vdisk_name\":\"\"}]}");
    LogTail log;
    store(kW1, "vd_new");
    EXPECT_TRUE(log.has(std::string("device (") + kW1 + "), vdisk name change from (NULL) to (vd_new)."));
    EXPECT_EQ("vd_new", lookup(kW1));
}

TEST_F(Store, RefusesEmptyWwidOrName) {
    LogTail log;
    store("", "");
    EXPECT_TRUE(log.has("Failed to save wwid filed, because wwid is NULL."));
    EXPECT_TRUE(log.has("Failed to save vdisk name filed, because vdisk name is NULL."));
    store(kW1, nullptr);
    EXPECT_NE(0, access(path_.c_str(), F_OK));
}

TEST_F(Store, EntryWithoutStringNameCountsAsFound) {
    const std::string text = std::string("{\"disk\":[{\"wwid\":\"") + kW1 + "\"},{\"wwid\":\"" + kW2 +
                             "\",\"vdisk_name\":7}]}";
    writeFile(path_, text);
    unsigned int found = 0;
    EXPECT_EQ("", lookup(kW1, &found));
    EXPECT_EQ(1u, found);
    // the next store puts a string name in place of what was there
    store(kW1, "vd_a");
    store(kW2, "vd_b");
    EXPECT_EQ("vd_a", lookup(kW1));
    EXPECT_EQ("vd_b", lookup(kW2));
    EXPECT_EQ(std::string::npos, content().find(":\t7"));
}

TEST_F(Store, CapitalisedMemberNamesAndDuplicates) {
    writeFile(path_, std::string("{\"DISK\":[{\"WWID\":\"") + kW1 + "\",\"VDISK_NAME\":\"vd_first\"},"
                     "{\"wwid\":\"" + kW1 + "\",\"vdisk_name\":\"vd_second\"}]}");
    EXPECT_EQ("vd_first", lookup(kW1));
    store(kW1, "vd_third");
    EXPECT_EQ("vd_third", lookup(kW1));
    EXPECT_NE(std::string::npos, content().find("vd_second"));  // the later duplicate is untouched
    unsigned int found = 0;
    lookup("36000aabbccdd0000000000000000001A", &found);  // WWIDs compare case-sensitively
    EXPECT_EQ(0u, found);
}

// A stray element that is not an object is passed over by lookups and by updates alike:
// the entry behind it is updated in place, never appended again.
TEST_F(Store, NonObjectElementAheadOfEntry) {
    writeFile(path_, std::string("{\"disk\":[42,{\"wwid\":\"") + kW1 + "\",\"vdisk_name\":\"vd_a\"}]}");
    EXPECT_EQ("vd_a", lookup(kW1));
    store(kW1, "vd_a");
    store(kW1, "vd_b");
    cJSON *doc = cJSON_Parse(content().c_str());
    ASSERT_NE(nullptr, doc);
    EXPECT_EQ(2, cJSON_GetArraySize(cJSON_GetObjectItem(doc, "disk")));
    cJSON_Delete(doc);
    EXPECT_EQ("vd_b", lookup(kW1));
}

TEST_F(Store, QuotesAndBackslashesRoundTripOnBothWritePaths) {
    const char *names[] = {"vd \"quoted\"", "vd\\nname", "vd\\u0041"};
    store(kW1, names[0]);  // fresh store
    EXPECT_EQ(names[0], lookup(kW1));
    store(kW2, names[1]);  // append
    store(kW1, names[2]);  // replace
    EXPECT_EQ(names[1], lookup(kW2));
    EXPECT_EQ(names[2], lookup(kW1));
    unlink(path_.c_str());
    store(kW2, names[1]);
    EXPECT_EQ(names[1], lookup(kW2));
}

TEST_F(Store, LongStoredNameIsCutToTheField) {
    std::string longName(300, 'L');
    store(kW1, longName.c_str());
    EXPECT_EQ(std::string(127, 'L'), lookup(kW1));
}

TEST_F(Store, UnusableStoreIsKeptAsideAndReplaced) {
    struct Case {
        std::string text, lookupLog;
    } cases[] = {
        {"{\"disk\": [", "Error before: ["},
        {"[1,2]", "Invalid JSON format for " + path_ + " file."},
        {"{\"disk\": {}}", "Invalid JSON format for json property disk."},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        writeFile(path_, c.text);
        LogTail log;
        unsigned int found = 0;
        lookup(kW1, &found);
        EXPECT_EQ(0u, found);
        EXPECT_TRUE(log.has(c.lookupLog));
        store(kW1, "vd_a");
        EXPECT_EQ(templateStore(kW1, "vd_a"), content());
        EXPECT_EQ(c.text, readFile(path_ + ".corrupt"));
    }
    writeFile(path_, "");  // an empty file is simply started afresh
    store(kW2, "vd_b");
    EXPECT_EQ(templateStore(kW2, "vd_b"), content());
}

// A link planted as the lock file is not followed: nothing is created through it.
TEST_F(Store, PlantedLockLinkIsNotFollowed) {
    const std::string target = dir_ + "/created-through-link";
    unlink(target.c_str());
    unlink((path_ + ".lock").c_str());
    ASSERT_EQ(0, symlink(target.c_str(), (path_ + ".lock").c_str()));
    store(kW1, "vd_a");
    EXPECT_NE(0, access(target.c_str(), F_OK));
    unlink((path_ + ".lock").c_str());
}

// Temporary files of writers killed before their rename are removed by the next writer;
// files of the administrator's that merely look alike are kept.
TEST_F(Store, LeftoverTemporaryFilesAreRemoved) {
    const std::string leftover = dir_ + "/.morvel-tmp-" + path_.substr(path_.rfind('/') + 1) + ".a1B2c3";
    writeFile(leftover, "{\"disk\": [");
    writeFile(path_ + ".corrupt", "kept");
    writeFile(path_ + ".backup", "kept");
    store(kW1, "vd_a");
    EXPECT_NE(0, access(leftover.c_str(), F_OK));
    EXPECT_EQ("kept", readFile(path_ + ".corrupt"));
    EXPECT_EQ("kept", readFile(path_ + ".backup"));
    EXPECT_EQ("vd_a", lookup(kW1));
}

TEST_F(Store, MissingStoreIsReported) {
    LogTail log;
    unsigned int found = 0;
    lookup(kW1, &found);
    EXPECT_EQ(0u, found);
    EXPECT_TRUE(log.has("Error can't open file " + path_ + "."));
}

// A store changed behind our back (same size, same inode) is read again.
TEST_F(Store, EditedStoreIsReadAgain) {
    store(kW1, "vd_aaaa");
    EXPECT_EQ("vd_aaaa", lookup(kW1));
    std::string text = content();
    text.replace(text.find("vd_aaaa"), 7, "vd_bbbb");
    usleep(2000);
    writeFile(path_, text);
    EXPECT_EQ("vd_bbbb", lookup(kW1));
    store(kW1, "vd_cccc");
    EXPECT_EQ("vd_cccc", lookup(kW1));
}

TEST_F(Store, ConcurrentWritersLoseNothing) {
    constexpr int kProcs = 8, kPerProc = 50;
    auto wwidOf = [](int n) {
        char w[40];
        std::snprintf(w, sizeof(w), "36000aabbccdd00000000000000%06d", n);
        return std::string(w);
    };
    // Each process stores 50 WWIDs; neighbours share 25 of them. Each keeps its own cache,
    // which the others' writes make stale.
    EXPECT_TRUE(morvel::testfiles::inChildren(kProcs, [&](int p) {
        StoreCache own;
        for (int i = 0; i < kPerProc; ++i) {
            int n = p * 25 + i;
            store_wwid_vdiskname(path_.c_str(), wwidOf(n).c_str(), ("vd_" + std::to_string(n)).c_str(), &own);
        }
    }));
    std::unique_ptr<cJSON, void (*)(cJSON *)> doc(cJSON_Parse(content().c_str()), cJSON_Delete);
    ASSERT_TRUE(doc);
    std::map<std::string, int> seen;
    cJSON *e = nullptr;
    cJSON_ArrayForEach(e, cJSON_GetObjectItem(doc.get(), "disk")) {
        seen[cJSON_GetObjectItem(e, "wwid")->valuestring]++;
    }
    const int distinct = (kProcs - 1) * 25 + kPerProc;
    EXPECT_EQ(static_cast<size_t>(distinct), seen.size());
    for (int n = 0; n < distinct; ++n) EXPECT_EQ(1, seen[wwidOf(n)]) << n;
    EXPECT_NE(0, access((path_ + ".corrupt").c_str(), F_OK));
}

TEST_F(Store, InBandFailureFallsBackToStore) {
    mkdir("/dumps", 0700);
    unlink(STORAGE_CONFIG_FILE);
    store_wwid_vdiskname(STORAGE_CONFIG_FILE, kW1, "vd_sales_01");
    char name[VDISK_NAME_SIZE] = {};
    unsigned int found = 0;
    LogTail log;
    displayVdiskname("/dev/dm-404", kW1, name, &found);
    EXPECT_EQ(1u, found);
    EXPECT_STREQ("vd_sales_01", name);
    EXPECT_TRUE(log.has(std::string("Devcie (") + kW1 +
                        "), unable to get vdisk name using in-band channel, we try to get vdisk name from file."));
    name[0] = '\0';
    displayNvmeVdiskname("/dev/dm-404", kW2, name, &found);
    EXPECT_EQ(0u, found);
    EXPECT_STREQ("", name);
}
