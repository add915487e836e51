// Load generator of the SNMP benchmark: one manager that sends requests back to back
// (each waits for its answer) for a fixed time and reports the rate.
//   snmp_bench HOST COMMUNITY get OID SECONDS       GET requests per second
//   snmp_bench HOST COMMUNITY bulkwalk OID SECONDS  GETBULK requests per second, walking
//                                                   the subtree again and again
#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char **argv) {
    if (argc != 6) {
        std::fprintf(stderr, "usage: snmp_bench HOST COMMUNITY get|bulkwalk OID SECONDS\n");
        return 2;
    }
    setenv("MIBS", "", 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_READ_CONFIGS, 1);
    init_snmp("snmp_bench");
    netsnmp_session config;
    snmp_sess_init(&config);
    config.peername = argv[1];
    config.version = SNMP_VERSION_2c;
    config.community = reinterpret_cast<u_char *>(argv[2]);
    config.community_len = std::strlen(argv[2]);
    config.timeout = 1000000;
    config.retries = 3;
    netsnmp_session *ss = snmp_open(&config);
    if (!ss) {
        snmp_perror("snmp_open");
        return 1;
    }
    bool bulk = std::strcmp(argv[3], "bulkwalk") == 0;
    oid root[MAX_OID_LEN];
    size_t rootLen = MAX_OID_LEN;
    if (!read_objid(argv[4], root, &rootLen)) {
        snmp_perror(argv[4]);
        return 1;
    }
    double seconds = std::atof(argv[5]);
    long requests = 0, walks = 0, varbinds = 0, failures = 0;
    oid next[MAX_OID_LEN];
    size_t nextLen = rootLen;
    std::memcpy(next, root, rootLen * sizeof(oid));
    auto start = std::chrono::steady_clock::now();
    for (;;) {
        double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (elapsed >= seconds) break;
        netsnmp_pdu *pdu = snmp_pdu_create(bulk ? SNMP_MSG_GETBULK : SNMP_MSG_GET);
        if (bulk) {
            pdu->non_repeaters = 0;
            pdu->max_repetitions = 25;
        }
        snmp_add_null_var(pdu, bulk ? next : root, bulk ? nextLen : rootLen);
        netsnmp_pdu *response = nullptr;
        int status = snmp_synch_response(ss, pdu, &response);
        requests++;
        if (status != STAT_SUCCESS || !response || response->errstat != SNMP_ERR_NOERROR) {
            failures++;
            nextLen = rootLen;
            std::memcpy(next, root, rootLen * sizeof(oid));
        } else if (bulk) {
            bool done = false;
            for (netsnmp_variable_list *v = response->variables; v; v = v->next_variable) {
                if (v->name_length < rootLen || std::memcmp(v->name, root, rootLen * sizeof(oid)) != 0 ||
                    v->type == SNMP_ENDOFMIBVIEW) {
                    done = true;
                    break;
                }
                varbinds++;
                nextLen = v->name_length;
                std::memcpy(next, v->name, nextLen * sizeof(oid));
            }
            if (done) {
                walks++;
                nextLen = rootLen;
                std::memcpy(next, root, rootLen * sizeof(oid));
            }
        } else {
            varbinds++;
        }
        if (response) snmp_free_pdu(response);
    }
    double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%s %s: %.0f requests/s, %ld requests, %ld walks, %ld values, %ld failures\n", argv[3],
                argv[4], requests / elapsed, requests, walks, varbinds, failures);
    snmp_close(ss);
    return failures == requests ? 1 : 0;
}
