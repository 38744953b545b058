// The registry file: REGEDIT4 text, case-insensitive keys, the system file
// beneath the user's, and writers that never lose an entry or leave half a file.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "ax/registry.h"

namespace {

using kalax::ax::Registry;
using kalax::ax::RegistryChange;
namespace fs = std::filesystem;

std::string slurp(const fs::path &p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

class AxRegistry : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/kalax-reg-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        user_ = dir_ / "user" / "registry.reg";
        system_ = dir_ / "system.reg";
    }
    void TearDown() override { fs::remove_all(dir_); }

    Registry reg() const { return Registry(user_.string(), system_.string()); }
    static RegistryChange set(std::string key, std::string name, std::string data) {
        return {RegistryChange::SetString, std::move(key), std::move(name), std::move(data)};
    }

    fs::path dir_, user_, system_;
};

TEST_F(AxRegistry, WritesRegedit4TextThatReadsBackWithoutRegardToCase) {
    const std::string key = "HKEY_CLASSES_ROOT\\CLSID\\{5F0C3A10-8E1B-4C6A-9D2E-3B7A41C0D003}";
    ASSERT_EQ(reg().apply({set(key, "", "Dummy \"quoted\" C:\\x"), set(key + "\\InprocServer32", "", "/opt/my lib/x.so"),
                           set(key + "\\InprocServer32", "ThreadingModel", "Apartment")}),
              S_OK);
    EXPECT_EQ(slurp(user_),
              "REGEDIT4\r\n\r\n"
              "[HKEY_CLASSES_ROOT\\CLSID\\{5F0C3A10-8E1B-4C6A-9D2E-3B7A41C0D003}]\r\n"
              "@=\"Dummy \\\"quoted\\\" C:\\\\x\"\r\n\r\n"
              "[HKEY_CLASSES_ROOT\\CLSID\\{5F0C3A10-8E1B-4C6A-9D2E-3B7A41C0D003}\\InprocServer32]\r\n"
              "@=\"/opt/my lib/x.so\"\r\n"
              "\"ThreadingModel\"=\"Apartment\"\r\n\r\n");
    std::string v;
    ASSERT_EQ(reg().get_string("hkey_classes_root\\clsid\\{5f0c3a10-8e1b-4c6a-9d2e-3b7a41c0d003}", "", v), S_OK);
    EXPECT_EQ(v, "Dummy \"quoted\" C:\\x");
    ASSERT_EQ(reg().get_string(key + "\\INPROCSERVER32", "threadingmodel", v), S_OK);
    EXPECT_EQ(v, "Apartment");
    ASSERT_EQ(reg().get_string(key + "\\InprocServer32", "", v), S_OK);
    EXPECT_EQ(v, "/opt/my lib/x.so");  // a blank stored verbatim, no short form
    EXPECT_EQ(reg().get_string(key + "\\Missing", "", v), S_FALSE);
    EXPECT_EQ(reg().get_string(key, "Missing", v), S_FALSE);
}

TEST_F(AxRegistry, RegisteringTwiceGivesTheSameBytesAndAChangeStaysInPlace) {
    const std::vector<RegistryChange> changes = {set("HKEY_CLASSES_ROOT\\A", "", "1"), set("HKEY_CLASSES_ROOT\\B", "", "2")};
    ASSERT_EQ(reg().apply(changes), S_OK);
    const std::string once = slurp(user_);
    ASSERT_EQ(reg().apply(changes), S_OK);
    EXPECT_EQ(slurp(user_), once);
    ASSERT_EQ(reg().apply({set("HKEY_CLASSES_ROOT\\a", "", "one")}), S_OK);
    const std::string changed = slurp(user_);
    EXPECT_LT(changed.find("[HKEY_CLASSES_ROOT\\A]\r\n@=\"one\""), changed.find("[HKEY_CLASSES_ROOT\\B]"));
}

TEST_F(AxRegistry, DeletingAKeyTakesItsSubkeysButNotItsNamesakes) {
    ASSERT_EQ(reg().apply({set("HKEY_CLASSES_ROOT\\P", "", "p"), set("HKEY_CLASSES_ROOT\\P\\CLSID", "", "c"),
                           set("HKEY_CLASSES_ROOT\\PX", "", "px")}),
              S_OK);
    ASSERT_EQ(reg().apply({{RegistryChange::DeleteTree, "HKEY_CLASSES_ROOT\\p", "", ""}}), S_OK);
    std::string v;
    EXPECT_EQ(reg().get_string("HKEY_CLASSES_ROOT\\P", "", v), S_FALSE);
    EXPECT_EQ(reg().get_string("HKEY_CLASSES_ROOT\\P\\CLSID", "", v), S_FALSE);
    EXPECT_EQ(reg().get_string("HKEY_CLASSES_ROOT\\PX", "", v), S_OK);
}

TEST_F(AxRegistry, TheSystemFileLiesBeneathTheUsersFile) {
    std::ofstream(system_) << "REGEDIT4\n\n[HKEY_CLASSES_ROOT\\Both]\n@=\"system\"\n\n[HKEY_CLASSES_ROOT\\Only]\n@=\"sys\"\n";
    ASSERT_EQ(reg().apply({set("HKEY_CLASSES_ROOT\\both", "", "user")}), S_OK);
    std::string v;
    ASSERT_EQ(reg().get_string("HKEY_CLASSES_ROOT\\Both", "", v), S_OK);
    EXPECT_EQ(v, "user");
    ASSERT_EQ(reg().get_string("HKEY_CLASSES_ROOT\\Only", "", v), S_OK);
    EXPECT_EQ(v, "sys");
    EXPECT_EQ(slurp(user_).find("Only"), std::string::npos);  // never copied up
}

TEST_F(AxRegistry, TextsAreWindows1252AndOthersAreRefusedWithTheFileUntouched) {
    ASSERT_EQ(reg().apply({set("HKEY_CLASSES_ROOT\\S\xC3\xBC" "d", "", "\xE2\x82\xAC 5")}), S_OK);
    EXPECT_NE(slurp(user_).find("[HKEY_CLASSES_ROOT\\S\xFC" "d]\r\n@=\"\x80 5\""), std::string::npos);
    std::string v;
    ASSERT_EQ(reg().get_string("HKEY_CLASSES_ROOT\\S\xC3\xBC" "d", "", v), S_OK);
    EXPECT_EQ(v, "\xE2\x82\xAC 5");
    const std::string before = slurp(user_);
    std::string why;
    EXPECT_EQ(reg().apply({set("HKEY_CLASSES_ROOT\\T", "", "ok"), set("HKEY_CLASSES_ROOT\\U", "", "\xC4\x80")}, &why),
              REGDB_E_WRITEREGDB);
    EXPECT_NE(why.find("Windows-1252"), std::string::npos) << why;
    EXPECT_EQ(slurp(user_), before);
}

TEST_F(AxRegistry, AFileThatIsNotRegedit4IsNeitherReadNorReplaced) {
    fs::create_directories(user_.parent_path());
    std::ofstream(user_) << "not a registry\n";
    std::string v, why;
    EXPECT_EQ(reg().get_string("HKEY_CLASSES_ROOT\\A", "", v, &why), REGDB_E_READREGDB);
    EXPECT_NE(why.find("not a REGEDIT4 file"), std::string::npos) << why;
    EXPECT_EQ(reg().apply({set("HKEY_CLASSES_ROOT\\A", "", "1")}), REGDB_E_WRITEREGDB);
    EXPECT_EQ(slurp(user_), "not a registry\n");
}

TEST_F(AxRegistry, ValuesItDoesNotWriteSurviveARewrite) {
    fs::create_directories(user_.parent_path());
    std::ofstream(user_) << "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\X]\r\n\"N\"=dword:00000001\r\n\"H\"=hex:01,02,\\\r\n  03\r\n\r\n";
    ASSERT_EQ(reg().apply({set("HKEY_CLASSES_ROOT\\A", "", "1")}), S_OK);
    const std::string text = slurp(user_);
    EXPECT_NE(text.find("\"N\"=dword:00000001\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\"H\"=hex:01,02,03\r\n"), std::string::npos) << text;
}

TEST_F(AxRegistry, TwoProcessesRegisteringAtOnceLoseNoEntry) {
    constexpr int kEach = 40;
    pid_t kids[2];
    for (int k = 0; k < 2; ++k) {
        kids[k] = fork();
        ASSERT_GE(kids[k], 0);
        if (kids[k] == 0) {
            int failed = 0;
            for (int i = 0; i < kEach; ++i)
                failed += reg().apply({set("HKEY_CLASSES_ROOT\\P" + std::to_string(k) + "_" + std::to_string(i), "",
                                           std::to_string(i))}) != S_OK;
            _exit(failed ? 1 : 0);
        }
    }
    for (pid_t kid : kids) {
        int status = 0;
        ASSERT_EQ(waitpid(kid, &status, 0), kid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    for (int k = 0; k < 2; ++k)
        for (int i = 0; i < kEach; ++i) {
            std::string v;
            ASSERT_EQ(reg().get_string("HKEY_CLASSES_ROOT\\P" + std::to_string(k) + "_" + std::to_string(i), "", v), S_OK)
                << k << " " << i;
            EXPECT_EQ(v, std::to_string(i));
        }
    // Nothing left beside the file but its lock.
    int files = 0;
    for (const auto &e : fs::directory_iterator(user_.parent_path())) files += e.is_regular_file();
    EXPECT_EQ(files, 2);
}

TEST_F(AxRegistry, TheEnvironmentNamesTheUsersFile) {
    const char *old = std::getenv("KALAX_REGISTRY");
    const std::string saved = old ? old : "";
    setenv("KALAX_REGISTRY", user_.c_str(), 1);
    EXPECT_EQ(Registry().user_file(), user_.string());
    unsetenv("KALAX_REGISTRY");
    const char *xdg = std::getenv("XDG_DATA_HOME");
    const std::string saved_xdg = xdg ? xdg : "";
    setenv("XDG_DATA_HOME", dir_.c_str(), 1);
    EXPECT_EQ(Registry().user_file(), (dir_ / "kalax" / "registry.reg").string());
    if (xdg) setenv("XDG_DATA_HOME", saved_xdg.c_str(), 1);
    else unsetenv("XDG_DATA_HOME");
    if (old) setenv("KALAX_REGISTRY", saved.c_str(), 1);
}

}  // namespace
