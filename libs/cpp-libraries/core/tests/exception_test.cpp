// Source locations, located exceptions and their one-line texts, scope guards.

#include <core/exception.hpp>
#include <core/pid_file.hpp>
#include <core/scope_guard.hpp>
#include <core/version.hpp>

#include "test_support.hpp"

#include <gtest/gtest.h>

#include <list>

#include <sys/wait.h>
#include <unistd.h>

using namespace orq::libs::core;

namespace {
// Locations hold views, so the texts they point to are kept here.
const char* in_tree(const std::string& _relative) {
    static std::list<std::string> keep;
    return keep.emplace_back(constants::source_directory + _relative).c_str();
}
}  // namespace

// Catches: a root with a trailing slash, a cut without comparing, or a cut of
// a sibling directory whose name merely begins like the root.
TEST(source_location, remove_directory_prefix_cuts_only_the_root_of_a_path_below_it) {
    const source_location loc;
    const std::string& root = constants::source_directory;
    EXPECT_NE(root.back(), '/');
    EXPECT_EQ(loc.remove_directory_prefix(in_tree("/src/main.cpp")), "/src/main.cpp");
    EXPECT_EQ(loc.remove_directory_prefix(in_tree("/x")), "/x");
    // Paths outside the tree come out whole, whatever their length.
    EXPECT_EQ(loc.remove_directory_prefix("/x"), "/x");
    EXPECT_EQ(loc.remove_directory_prefix(""), "");
    EXPECT_EQ(loc.remove_directory_prefix("probe.cpp"), "probe.cpp");
    const std::string outside = "/home/user/svc/probe.cpp" + std::string(root.size(), 'z');
    EXPECT_EQ(loc.remove_directory_prefix(outside), outside);
    EXPECT_EQ(loc.remove_directory_prefix(root), root);
    EXPECT_EQ(loc.remove_directory_prefix(root + "/"), "/");
    EXPECT_EQ(loc.remove_directory_prefix(root + "-other/probe.cpp"), root + "-other/probe.cpp");
    EXPECT_EQ(loc.remove_directory_prefix(root + "probe.cpp"), root + "probe.cpp");
    const std::string same_length_elsewhere = std::string(root.size(), 'z') + "/probe.cpp";
    EXPECT_EQ(loc.remove_directory_prefix(same_length_elsewhere), same_length_elsewhere);
}

// Catches: a wrong cut of the qualified name, or a crash on short texts.
TEST(source_location, short_function) {
    auto short_of = [](const char* _function) {
        return std::string(source_location(1, "f", _function).short_function());
    };
    EXPECT_EQ(short_of("void orq::libs::core::detail::check_pid(const string&)"), "orq::libs::core::detail::check_pid");
    EXPECT_EQ(short_of("main(int, char**)::<lambda()>"), "main(int, char**)::<lambda()>");
    EXPECT_EQ(short_of("void other::f(int)"), "void other::f(int)");
    EXPECT_EQ(short_of("f()"), "f()");
    EXPECT_EQ(short_of(""), "");
    EXPECT_EQ(short_of("no parenthesis"), "no parenthesis");
    EXPECT_EQ(short_of("orq::f(int)"), "orq::f");
}

// Catches: located texts without the relative path, line or message.
TEST(exceptions, what_and_describe) {
    const source_location loc(64, in_tree("/libs/x/pid_file.hpp"), "f()");
    const exception e("Process is running", loc);
    EXPECT_STREQ(e.what(), "/libs/x/pid_file.hpp:64 Process is running");
    EXPECT_EQ(exception_to_string(e), "/libs/x/pid_file.hpp:64 Process is running");
    const check_failed_exception check("x", loc);
    EXPECT_EQ(check.get_string_error(), "check failed: x");
    EXPECT_STREQ(check.what(), "/libs/x/pid_file.hpp:64 check failed: x");
    const located_exception bare(loc);
    EXPECT_STREQ(bare.what(), "/libs/x/pid_file.hpp:64");
    exception copy(e);
    EXPECT_STREQ(copy.what(), "/libs/x/pid_file.hpp:64 Process is running");
}

// Catches: wrong classification of the exception being handled.
TEST(exceptions, exception_to_string_classifies_the_current_exception) {
    auto text_of = [](auto _thrower) {
        try {
            _thrower();
        } catch (...) {
            return exception_to_string();
        }
        return std::string("nothing thrown");
    };
    EXPECT_EQ(text_of([] { throw 5; }), "Unknown exception");
    EXPECT_EQ(text_of([] { throw std::out_of_range("oops"); }), "std::exception::what(): oops");
    EXPECT_EQ(text_of([] { ORQ_CHECK(1 + 1 == 3); }).substr(0, 32), "/libs/cpp-libraries/core/tests/e");
    EXPECT_NE(text_of([] { ORQ_CHECK(1 + 1 == 3); }).find(" check failed: 1 + 1 == 3"), std::string::npos);
}

// Catches: a guard that does not run, or runs twice.
TEST(scope_guard, runs_once_when_the_owner_goes) {
    int runs = 0;
    {
        auto guard = make_scope_guard([&] { ++runs; });
        auto moved = std::move(guard);
        EXPECT_EQ(runs, 0);
    }
    EXPECT_EQ(runs, 1);
    try {
        auto guard = make_scope_guard([&] { ++runs; });
        throw 1;
    } catch (int) {
    }
    EXPECT_EQ(runs, 2);
}

// Catches: a pid file check that refuses stale, empty or garbage files, or
// lets a second live instance start.
TEST(pid_file, check_and_write) {
    orq::test::temp_dir dir;
    const auto path = dir.file("agent.pid");

    detail::check_pid(path);  // missing: passes
    detail::write_pid(path);
    EXPECT_EQ(orq::test::read_file(path), std::to_string(::getpid()));

    // Our own id: a live process.
    try {
        detail::check_pid(path);
        FAIL() << "no exception";
    } catch (const exception& e) {
        EXPECT_EQ(e.get_string_error(), "Process is running");
        EXPECT_EQ(std::string(e.what()).rfind("/libs/cpp-libraries/core/src/include/core/pid_file.hpp:", 0), 0u);
    }

    // A process that has exited.
    const pid_t child = ::fork();
    if (child == 0) {
        ::_exit(0);
    }
    ::waitpid(child, nullptr, 0);
    orq::test::write_file(path, std::to_string(child));
    EXPECT_NO_THROW(detail::check_pid(path));

    for (const char* content : {"", "abc", "0", "  0\n", "-1", "-4194304", "99999999999999999999"}) {
        orq::test::write_file(path, content);
        EXPECT_NO_THROW(detail::check_pid(path)) << content;
    }
    orq::test::write_file(path, " 1\n");  // init: running
    EXPECT_THROW(detail::check_pid(path), exception);

    EXPECT_NO_THROW(detail::check_pid(dir.file("missing/dir/x.pid")));
    try {
        detail::write_pid(dir.file("missing/dir/x.pid"));
        FAIL() << "no exception";
    } catch (const exception& e) {
        EXPECT_EQ(e.get_string_error(), "Error opening pid-file!");
    }
}

// Catches: a located text that mangles the file of a program outside the tree.
TEST(exceptions, a_file_outside_the_tree_is_named_whole) {
    const source_location loc(159, "/home/user/svc/probe.cpp", "f()");
    EXPECT_STREQ(exception("Process is running", loc).what(), "/home/user/svc/probe.cpp:159 Process is running");
    EXPECT_STREQ(located_exception(source_location(7, "probe.cpp", "f()")).what(), "probe.cpp:7");
    // The compiler's own name of a file outside the tree, as a user's program
    // gets it. Last in this file: the directive renames the rest of it.
    try {
#line 42 "/tmp/elsewhere/probe.cpp"
        throw exception("thrown outside", ORQ_SOURCE_LOCATION);
    } catch (const located_exception& e) {
        EXPECT_STREQ(e.what(), "/tmp/elsewhere/probe.cpp:42 thrown outside");
    }
}
