// A user whose numbers are written with a decimal comma: the process's LC_NUMERIC is a German
// locale for the life of the object, as LANG=de_DE.UTF-8 and the toolkit's start-up make it.
// A machine without that locale installed gets one made with localedef in a folder of its own.
#pragma once

#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>

#include <gtest/gtest.h>

class CommaDecimalLocale {
  public:
    CommaDecimalLocale() {
        const char* old = std::setlocale(LC_NUMERIC, nullptr);
        m_old = old ? old : "C";
        if (const char* env = std::getenv("LC_NUMERIC"))
            m_oldEnv = env;
        if (std::setlocale(LC_NUMERIC, kName) == nullptr && MakeLocale())
            std::setlocale(LC_NUMERIC, kName);
        // Also for a toolkit started later, which takes the locale from the environment.
        setenv("LC_NUMERIC", kName, 1);
        EXPECT_TRUE(Active()) << "no locale with a decimal comma could be had";
    }
    ~CommaDecimalLocale() {
        std::setlocale(LC_NUMERIC, m_old.c_str());
        if (m_oldEnv.empty())
            unsetenv("LC_NUMERIC");
        else
            setenv("LC_NUMERIC", m_oldEnv.c_str(), 1);
    }
    CommaDecimalLocale(const CommaDecimalLocale&) = delete;
    CommaDecimalLocale& operator=(const CommaDecimalLocale&) = delete;

    static bool Active() { return std::string(std::localeconv()->decimal_point) == ","; }

  private:
    static constexpr const char* kName = "de_DE.UTF-8";

    // Made once per process and kept until it ends: LOCPATH stays pointed at it.
    static bool MakeLocale() {
        struct Folder {
            std::filesystem::path path = std::filesystem::temp_directory_path() /
                                         ("vmod-locale-" + std::to_string(getpid()));
            ~Folder() {
                std::error_code ec;
                std::filesystem::remove_all(path, ec);
            }
        };
        static Folder folder;
        static const bool made = [] {
            std::filesystem::create_directories(folder.path);
            std::string command = "localedef -i de_DE -f UTF-8 '" + (folder.path / kName).string() +
                                  "' >/dev/null 2>&1";
            if (std::system(command.c_str()) != 0)
                return false;
            setenv("LOCPATH", folder.path.c_str(), 1);
            return true;
        }();
        return made;
    }

    std::string m_old;
    std::string m_oldEnv;
};
