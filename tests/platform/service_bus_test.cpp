// The service manager's calls to systemd, against a stand-in for systemd's
// manager object on a private bus connection: the methods and arguments
// systemd receives, and its errors as the service manager's codes.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <mutex>
#include <string>
#include <thread>

#include "platform/service_manager.h"

namespace {

// Written by the serving thread, read by the test between calls.
struct FakeManager {
    std::mutex lock;
    std::string calls; // "Method arguments;" per call
    const char* failWith = nullptr;
};

// Records "Member files booleans;" and answers with an empty result of the
// method's own reply type, or with the error the test asked for.
int Handle(sd_bus_message* m, void* data, sd_bus_error*) {
    auto* fake = static_cast<FakeManager*>(data);
    std::string call = sd_bus_message_get_member(m);
    char** files = nullptr;
    if (sd_bus_message_read_strv(m, &files) > 0 && files) {
        for (char** f = files; *f; f++) {
            call += std::string(" ") + *f;
            free(*f);
        }
        free(files);
        call += " ";
    }
    for (int flag = 0; sd_bus_message_read_basic(m, 'b', &flag) > 0;)
        call += std::to_string(flag);
    std::lock_guard<std::mutex> guard(fake->lock);
    fake->calls += call + ";";
    if (fake->failWith) return sd_bus_reply_method_errorf(m, fake->failWith, "refused");
    if (call.rfind("Enable", 0) == 0) return sd_bus_reply_method_return(m, "ba(sss)", 0, 0);
    if (call.rfind("Disable", 0) == 0) return sd_bus_reply_method_return(m, "a(sss)", 0);
    return sd_bus_reply_method_return(m, "");
}

const sd_bus_vtable MANAGER_VTABLE[] = {
    SD_BUS_VTABLE_START(0), SD_BUS_METHOD("Reload", "", "", Handle, 0),
    SD_BUS_METHOD("EnableUnitFiles", "asbb", "ba(sss)", Handle, 0),
    SD_BUS_METHOD("DisableUnitFiles", "asb", "a(sss)", Handle, 0), SD_BUS_VTABLE_END};

TEST(ServiceBus, CallsReachTheManagerAndItsErrorsBecomeServiceManagerCodes) {
    // Both ends of a direct connection: the manager served on a thread.
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    sd_id128_t id;
    ASSERT_GE(sd_id128_randomize(&id), 0);
    FakeManager fake;
    sd_bus *server = nullptr, *client = nullptr;
    ASSERT_GE(sd_bus_new(&server), 0);
    sd_bus_set_fd(server, fds[0], fds[0]);
    sd_bus_set_server(server, 1, id);
    ASSERT_GE(sd_bus_add_object_vtable(server, nullptr, "/org/freedesktop/systemd1",
                                       "org.freedesktop.systemd1.Manager", MANAGER_VTABLE, &fake),
              0);
    ASSERT_GE(sd_bus_start(server), 0);
    ASSERT_GE(sd_bus_new(&client), 0);
    sd_bus_set_fd(client, fds[1], fds[1]);
    ASSERT_GE(sd_bus_start(client), 0);
    // Served until the client's end closes.
    std::thread serving([&] {
        for (int r = 0; r >= 0; r = sd_bus_process(server, nullptr))
            if (r == 0) sd_bus_wait(server, UINT64_MAX);
    });
    ScManager scm;
    scm.bus = client;

    struct Row {
        const char* failWith;
        int call; // 0 Reload, 1 Enable, 2 Disable
        uint32_t code;
        const char* received;
    } const rows[] = {
        {nullptr, 0, 0, "Reload;"},
        {nullptr, 1, 0, "EnableUnitFiles kelpwatch.service 01;"},
        {nullptr, 2, 0, "DisableUnitFiles kelpwatch.service 0;"},
        {"org.freedesktop.DBus.Error.AccessDenied", 1, SC_ERROR_ACCESS_DENIED,
         "EnableUnitFiles kelpwatch.service 01;"},
        {"org.freedesktop.systemd1.NoSuchUnit", 2, SC_ERROR_SERVICE_DOES_NOT_EXIST,
         "DisableUnitFiles kelpwatch.service 0;"},
        {"org.freedesktop.DBus.Error.NoMemory", 0, 8, "Reload;"},
    };
    for (const Row& row : rows) {
        {
            std::lock_guard<std::mutex> guard(fake.lock);
            fake.calls.clear();
            fake.failWith = row.failWith;
        }
        uint32_t code = row.call == 0   ? ScmReload(scm)
                        : row.call == 1 ? ScmEnable(scm, "kelpwatch.service")
                                        : ScmDisable(scm, "kelpwatch.service");
        EXPECT_EQ(code, row.code) << row.received << " failing with "
                                  << (row.failWith ? row.failWith : "nothing");
        std::lock_guard<std::mutex> guard(fake.lock);
        EXPECT_EQ(fake.calls, row.received);
    }
    sd_bus_flush_close_unref(client);
    serving.join();
    sd_bus_flush_close_unref(server);
}

} // namespace
