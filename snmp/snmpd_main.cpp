// The agent's life on the task "NET-SNMPD": the library's set-up in a fixed order, the
// MIB modules (the device's own first, then MIB-II and the SNMPv3 modules), the
// select loop over the agent's sockets and the task's own pipe, and the shutdown.
// Everything that calls the library runs on this one thread.

#include "core/connection.h"
#include "core/sysroot.h"
#include "snmp/snmp_internal.h"
#include "snmp/snmp_lib.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unistd.h>

namespace {

constexpr const char *AppName = "snmpd";

std::mutex usersMutex;
std::vector<std::string> confUsers;

bool modulesInitialised = false;
bool shutdownRegistered = false;

int shutdown_mib_modules(int, int, void *, void *) {
    if (!modulesInitialised) return 0;
    if (should_init("sysORTable")) shutdown_sysORTable();
    if (should_init("snmpMPDStats")) shutdown_snmpMPDStats();
    if (should_init("usmStats")) shutdown_usmStats();
    if (should_init("interfaces")) {
        shutdown_ifXTable();
        shutdown_ifTable();
    }
    modulesInitialised = false;
    return 0;
}

void init_mib_modules() {
    if (should_init("kvxAutoMib")) init_kvxAutoMib();
    if (should_init("kvx_mib")) init_kvx_mib();
    if (should_init("icmp")) init_icmp();
    if (should_init("interfaces")) {
        init_ifTable();
        init_ifXTable();
    }
    if (should_init("ip")) init_ip();
    if (should_init("system_mib")) init_system_mib();
    if (should_init("tcp")) init_tcp();
    if (should_init("udp")) init_udp();
    if (should_init("snmp_mib")) init_snmp_mib();
    if (should_init("sysORTable")) init_sysORTable();
    if (should_init("vacm_vars")) init_vacm_vars();
    if (should_init("interface")) init_interface();
    if (should_init("var_route")) init_var_route();
    if (should_init("at")) init_at();
    if (should_init("tcpTable")) init_tcpTable();
    if (should_init("udpTable")) init_udpTable();
    if (should_init("snmpEngine")) init_snmpEngine();
    if (should_init("snmpMPDStats")) init_snmpMPDStats();
    if (should_init("usmStats")) init_usmStats();
    if (should_init("usmUser")) init_usmUser();
    if (should_init("vacm_context")) init_vacm_context();
    modulesInitialised = true;
    if (!shutdownRegistered) {
        shutdownRegistered = true;
        if (snmp_register_callback(SNMP_CALLBACK_LIBRARY, SNMP_CALLBACK_SHUTDOWN, shutdown_mib_modules,
                                   nullptr) != SNMPERR_SUCCESS)
            snmp_log(LOG_ERR, "error registering for SHUTDOWN callback for mib modules\n");
    }
}

// Ends the calling task's thread; never returns.
[[noreturn]] void finishTask() {
    for (;;) {
        if (Task *t = Task::current()) t->exit();
        std::fprintf(stderr, "Fatal ERROR: no task context for calling finish in ftpd?!\n");
        sleep(5);
    }
}

int currentTaskPipeFd() {
    Task *t = Task::current();
    return t != nullptr ? t->pipeRead : -1;
}

void notifyCurrentTask(uint32_t flags) {
    if (Task *t = Task::current()) t->onMessage(TaskMsg{0, flags, 0, 0});
}

std::string persistentFile() {
    return snmpdPersistentDir() + "/" + AppName + ".conf";
}

// The files the library reads: the generated configuration, then its own persistent
// state (engine boots, engine ID, keys of users created over SNMP) without the users
// that the configuration creates, whose keys come from their passwords alone.
void prepareConfigFiles(const std::string &confPath, const std::vector<std::string> &dropUsers) {
    std::string state = persistentFile();
    dropPersistentUsers(state, dropUsers);
    std::string files = confPath;
    if (::access(state.c_str(), R_OK) == 0) files += "," + state;
    netsnmp_ds_set_string(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_OPTIONALCONFIG, files.c_str());
}

// Before the configuration is read again: the users the old and the new file create are
// removed, so that a changed password takes effect and a removed user is gone.
void forgetConfiguredUsers(const std::vector<std::string> &names) {
    u_char engine[SNMP_MAXBUF_SMALL];
    size_t engineLength = snmpv3_get_engineID(engine, sizeof engine);
    for (const std::string &name : names) {
        std::string copy = name;
        for (int guard = 0; guard < 16; guard++) {
            struct usmUser *user = usm_get_user(engine, engineLength, copy.data());
            if (user == nullptr) break;
            usm_remove_user(user);
            usm_free_user(user);
        }
    }
}

struct FdSets {
    netsnmp_large_fd_set bound, read, write, except;
    FdSets() {
        for (auto *s : {&bound, &read, &write, &except}) {
            netsnmp_large_fd_set_init(s, FD_SETSIZE);
            NETSNMP_LARGE_FD_ZERO(s);
        }
    }
    ~FdSets() {
        for (auto *s : {&bound, &read, &write, &except})
            netsnmp_large_fd_set_cleanup(s);
    }
    FdSets(const FdSets &) = delete;
    FdSets &operator=(const FdSets &) = delete;
};

volatile int running = 1;

// Reads one task message from the pipe; false when the pipe gave no whole message.
bool readTaskMessage(int fd, TaskMsg &msg) {
    ssize_t n;
    do {
        n = ::read(fd, &msg, sizeof msg);
    } while (n < 0 && errno == EINTR);
    return n == static_cast<ssize_t>(sizeof msg);
}

void snmpd_receive() {
    int pipeFd = currentTaskPipeFd();
    FdSets sets;
    bool reconfigure = false;
    std::vector<std::string> lastUsers = configuredUsers();
    while (running) {
        if (reconfigure) {
            sigset_t hup;
            sigemptyset(&hup);
            sigaddset(&hup, SIGHUP);
            pthread_sigmask(SIG_BLOCK, &hup, nullptr);
            reconfigure = false;
            snmp_log(LOG_INFO, "Reconfiguring daemon\n");
            netsnmp_logging_restart();
            snmp_log(LOG_INFO, "NET-SNMP version %s restarted\n", netsnmp_get_version());
            std::vector<std::string> users = configuredUsers();
            std::vector<std::string> drop = lastUsers;
            drop.insert(drop.end(), users.begin(), users.end());
            forgetConfiguredUsers(drop);
            prepareConfigFiles(snmpdConfPath(), drop);
            lastUsers = users;
            closeTrapTargets();
            update_config();
            pthread_sigmask(SIG_UNBLOCK, &hup, nullptr);
        }

        NETSNMP_LARGE_FD_ZERO(&sets.read);
        NETSNMP_LARGE_FD_ZERO(&sets.write);
        NETSNMP_LARGE_FD_ZERO(&sets.except);
        int numfds = 0;
        struct timeval timeout {
            INT_MAX, 0
        };
        struct timeval *tvp = &timeout;
        int block = 0;
        snmp_select_info2(&numfds, &sets.read, tvp, &block);
        if (block == 1) tvp = nullptr;
        // Each agent socket is bound to the management interface once, before it is
        // first waited on.
        for (int fd = 0; fd < numfds; fd++) {
            if (NETSNMP_LARGE_FD_ISSET(fd, &sets.read) && !NETSNMP_LARGE_FD_ISSET(fd, &sets.bound)) {
                bindToMgmtInterface(fd);
                NETSNMP_LARGE_FD_SET(fd, &sets.bound);
            }
        }
        netsnmp_external_event_info2(&numfds, &sets.read, &sets.write, &sets.except);
        if (pipeFd > 0) {
            NETSNMP_LARGE_FD_SET(pipeFd, &sets.read);
            if (numfds <= pipeFd) numfds = pipeFd + 1;
        }

        int count = netsnmp_large_fd_set_select(numfds, &sets.read, &sets.write, &sets.except, tvp);
        if (count > 0 && pipeFd > 0 && NETSNMP_LARGE_FD_ISSET(pipeFd, &sets.read)) {
            count--;
            TaskMsg msg{};
            if (!readTaskMessage(pipeFd, msg)) {
                running = 0;
            } else if (msg.flags & MsgExit) {
                running = 0;
            } else if (msg.flags & MsgConfigChanged) {
                std::fprintf(stderr, "snmpd/select message HUP call msgHdlr\n");
                notifyCurrentTask(MsgConfigChanged);
                NETSNMP_LARGE_FD_ZERO(&sets.bound);
                reconfigure = true;
            }
            // Messages are 16-byte records and nothing else: a second word that is a
            // value (such as -1) never makes the loop read, or wait for, bytes behind it.
        }
        if (count > 0) {
            netsnmp_dispatch_external_events2(&count, &sets.read, &sets.write, &sets.except);
            if (count > 0) snmp_read2(&sets.read);
        } else if (count == 0) {
            snmp_timeout();
        } else if (errno == EINTR) {
            continue;
        } else {
            snmp_log_perror("select");
            break;
        }
        sendQueuedTraps();
        snmp_store_if_needed();
        run_alarms();
        netsnmp_check_outstanding_agent_requests();
    }
    snmp_log(LOG_INFO, "Received TERM or STOP signal...  shutting down...\n");
}

// The engine ID as the pages show it, kept here so that no other thread reads the
// library's state.
std::mutex engineIdLock;
std::string engineIdHex;

void keepEngineId() {
    u_char engine[SNMP_MAXBUF_SMALL];
    size_t length = snmpv3_get_engineID(engine, sizeof engine);
    std::string hex;
    for (size_t i = 0; i < length && i < sizeof engine; i++) {
        char byte[3];
        std::snprintf(byte, sizeof byte, "%02x", engine[i]);
        hex += byte;
    }
    std::lock_guard<std::mutex> hold(engineIdLock);
    engineIdHex = hex;
}

} // namespace

std::string snmpEngineIdHex() {
    std::lock_guard<std::mutex> hold(engineIdLock);
    return engineIdHex;
}

bool snmpdStart(const std::string &confPath) {
    // No MIB files are needed: the agent answers by OID alone. The daemon sets "MIBS"
    // before its threads start; a caller that did not gets it here.
    {
        std::lock_guard<std::mutex> env(environmentLock());
        if (getenv("MIBS") == nullptr) setenv("MIBS", "", 1);
    }
    netsnmp_ds_set_boolean(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_AGENTX_MASTER, 0);
    netsnmp_ds_set_int(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_AGENTX_TIMEOUT, -1);
    netsnmp_ds_set_int(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_AGENTX_RETRIES, -1);
    netsnmp_ds_set_int(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_CACHE_TIMEOUT, 5);
    // One log line per request would flood the output.
    netsnmp_ds_set_boolean(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_DONT_LOG_TCPWRAPPERS_CONNECTS, 1);
    snmp_log_syslogname(AppName);
    netsnmp_ds_set_string(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_APPTYPE, AppName);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_READ_CONFIGS, 1);
    // The persistent state lives in a fixed directory of the appliance and is read back
    // at every start, so that the engine boots count grows across restarts.
    std::string persistent = snmpdPersistentDir();
    netsnmp_ds_set_string(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_PERSISTENT_DIR, persistent.c_str());
    prepareConfigFiles(confPath, configuredUsers());
    std::fprintf(stderr, "%s(%s)...\n", "snmpd_main", confPath.c_str());
    netsnmp_ds_set_boolean(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_ROLE, 0);

    takeOverTrapTargets();
    if (init_agent(AppName) != 0) {
        snmp_log(LOG_ERR, "Agent initialization failed\n");
        return false;
    }
    init_mib_modules();
    init_snmp(AppName);
    if (init_master_agent() != 0) {
        snmp_log(LOG_ERR, "Server Exiting with code 1\n");
        return false;
    }
    snmp_store(AppName);
    keepEngineId();
    snmp_log(LOG_INFO, "NET-SNMP version %s\n", netsnmp_get_version());
    netsnmp_addrcache_initialise();
    return true;
}

namespace {

[[noreturn]] void snmpd_main(const std::string &confPath) {
    if (!snmpdStart(confPath)) finishTask();
    running = 1;
    setTrapAgentRunning(Task::currentNumber());
    if (!netsnmp_ds_get_boolean(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_QUIT_IMMEDIATELY))
        snmpd_receive();
    setTrapAgentRunning(-1);

    closeTrapTargets();
    snmp_shutdown(AppName);
    shutdown_master_agent();
    shutdown_agent();
    finishTask();
}

} // namespace

void setConfiguredUsers(const std::vector<std::string> &users) {
    std::lock_guard<std::mutex> lock(usersMutex);
    confUsers = users;
}

std::vector<std::string> configuredUsers() {
    std::lock_guard<std::mutex> lock(usersMutex);
    return confUsers;
}

void SnmpdTask::run() {
    snmpd_main(snmpdConfPath());
}

uint32_t SnmpdTask::onMessage(const TaskMsg &msg) {
    if (msg.flags & MsgConfigChanged) {
        uint8_t trapsConfigured = 0;
        write_snmpd_conf(this, trapsConfigured);
    }
    return msg.flags;
}
