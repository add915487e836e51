// The device MIB's six tables: each row is one index of a parameter family ("ip_filter_5"
// is row 5 of the IP filter table) and each column one family. The library's table
// data set supplies the rows and the walk order; one handler answers every cell through
// a fixed column map from (table, column) to the family's name prefix.

#include "core/param.h"
#include "core/ptable.h"
#include "snmp/snmp_internal.h"
#include "snmp/snmp_lib.h"

#include <cstring>

namespace {

// The only place that ties a column to a parameter family; its type is the type of
// every answer of the column.
struct MibColumnMap {
    const char *table;
    unsigned column;
    uint8_t type;
    const char *prefix;
};
constexpr MibColumnMap ColumnMap[] = {
    {"ipFilterTab", 2, ASN_INTEGER, "ip_filter_on_"},     {"ipFilterTab", 3, ASN_OCTET_STR, "ip_filter_"},
    {"macFilterTab", 2, ASN_INTEGER, "hw_filter_on_"},    {"macFilterTab", 3, ASN_OCTET_STR, "hw_filter_"},
    {"usbPortTab", 2, ASN_INTEGER, "zqn_ppwr_"},          {"usbPortTab", 3, ASN_INTEGER, "zqn_poffdura_"},
    {"usbPortTab", 4, ASN_INTEGER, "zqn_hid_"},           {"usbPortTab", 5, ASN_INTEGER, "zqn_accctrl_"},
    {"usbPortTab", 7, ASN_OCTET_STR, "zqn_vendprodIDs_"}, {"usbPortTab", 9, ASN_INTEGER, "zqn_2vlan_"},
    {"usbPortTab", 10, ASN_OCTET_STR, "zqn_tag_"},        {"usbPortTab", 12, ASN_OCTET_STR, "zqn_dscr_"},
    {"zqnDevTab", 2, ASN_OCTET_STR, "usb_manu_"},         {"zqnDevTab", 3, ASN_OCTET_STR, "usb_prod_"},
    {"zqnDevTab", 4, ASN_OCTET_STR, "usb_vendid_"},       {"zqnDevTab", 5, ASN_OCTET_STR, "usb_prodid_"},
    {"zqnDevTab", 6, ASN_OCTET_STR, "usb_sern_"},         {"zqnDevTab", 7, ASN_OCTET_STR, "usb_owner_"},
    {"zqnDevTab", 8, ASN_INTEGER, "usb_slot_"},           {"zqnPortKeyTab", 2, ASN_INTEGER, "zqn_pkvalid_"},
    {"zqnPortKeyTab", 3, ASN_OCTET_STR, "zqn_pkkey_"},    {"zqnPortKeyTab", 4, ASN_OCTET_STR, "zqn_pkalive_"},
    {"zqnVLanTab", 2, ASN_INTEGER, "ipvlan_on_"},         {"zqnVLanTab", 3, ASN_OCTET_STR, "ipvlan_addr_"},
    {"zqnVLanTab", 7, ASN_INTEGER, "ipvlan_pfxlen_"},     {"zqnVLanTab", 6, ASN_OCTET_STR, "ipvlan_router_"},
    {"zqnVLanTab", 5, ASN_INTEGER, "ipvlan_id_"},
};

// A column declared to the library: number, type, writable.
struct ColumnDecl {
    unsigned column;
    uint8_t type;
};

// The six tables in the order they are set up: name, OID below ENT, rows, writable,
// the value columns as declared.
struct DeviceTable {
    const char *name;
    oid sub[3];
    unsigned rows;
    bool writable;
    ColumnDecl columns[8];
    unsigned columnCount;
};
constexpr DeviceTable Tables[] = {
    {"ipFilterTab", {2, 44, 2}, 64, true, {{2, ASN_INTEGER}, {3, ASN_OCTET_STR}}, 2},
    {"macFilterTab", {2, 45, 2}, 8, true, {{2, ASN_INTEGER}, {3, ASN_OCTET_STR}}, 2},
    {"usbPortTab",
     {5, 10, 2},
     20,
     true,
     {{2, ASN_INTEGER},
      {3, ASN_INTEGER},
      {4, ASN_INTEGER},
      {5, ASN_INTEGER},
      {7, ASN_OCTET_STR},
      {9, ASN_INTEGER},
      {10, ASN_OCTET_STR},
      {12, ASN_OCTET_STR}},
     8},
    {"zqnDevTab",
     {5, 20, 2},
     40,
     false,
     {{2, ASN_OCTET_STR},
      {3, ASN_OCTET_STR},
      {4, ASN_OCTET_STR},
      {5, ASN_OCTET_STR},
      {6, ASN_OCTET_STR},
      {7, ASN_OCTET_STR},
      {8, ASN_INTEGER}},
     7},
    {"zqnPortKeyTab", {5, 11, 2}, 40, true, {{2, ASN_INTEGER}, {3, ASN_OCTET_STR}, {4, ASN_OCTET_STR}}, 3},
    {"zqnVLanTab",
     {2, 43, 2},
     21,
     true,
     {{2, ASN_INTEGER}, {3, ASN_OCTET_STR}, {7, ASN_INTEGER}, {6, ASN_OCTET_STR}, {5, ASN_INTEGER}},
     5},
};

bool tableWritable(const char *name) {
    for (const DeviceTable &t : Tables)
        if (std::strcmp(t.name, name) == 0) return t.writable;
    return false;
}

// Error 128, the library's noSuchObject: a GET answers the cell with it, a SET turns it
// into noCreation (first reserve phase) or noSuchName.
constexpr int NoSuchCell = SNMP_NOSUCHOBJECT;

// One request of a table: the error value to record (0 when it went well).
int answerCell(const char *table, netsnmp_agent_request_info *reqinfo, netsnmp_request_info *request) {
    netsnmp_table_request_info *info = netsnmp_extract_table_info(request);
    if (info == nullptr) return NoSuchCell;
    uint8_t type = 0;
    const char *prefix = lookupColumn(table, info->colnum, type);
    if (prefix == nullptr) return NoSuchCell;
    netsnmp_variable_list *vb = request->requestvb;
    if (vb->name_length < 1) return NoSuchCell;
    oid index = vb->name[vb->name_length - 1];
    if (index < 1 || index > 0xffff) return NoSuchCell;
    Param *p = ptable().find(prefix, static_cast<int>(std::strlen(prefix)), static_cast<int>(index));
    if (p == nullptr) return NoSuchCell;
    const void *pointer = nullptr;
    size_t length = 0;
    if (!p->getSnmpValue(pointer, length)) return NoSuchCell;
    switch (reqinfo->mode) {
    case MODE_GET:
    case MODE_GETNEXT:
        return snmp_set_var_typed_value(vb, type, pointer, length) == 0 ? 0 : NoSuchCell;
    default:
        // A SET phase: the cell exists, so a refused value gets the parameter's own
        // status (wrongType, wrongLength, wrongValue), and a read-only column refuses.
        if (!tableWritable(table)) return reqinfo->mode == MODE_SET_RESERVE1 ? SNMP_ERR_NOTWRITABLE : 0;
        return p->setBySnmp(reqinfo->mode, vb->val.string, vb->type, vb->val_len);
    }
}

// Every request of a list in turn. In a SET, requests an earlier helper already refused
// (an OID that names no cell of the table) keep that error; a GET answers every cell anew.
void answerRequests(const char *table, netsnmp_agent_request_info *reqinfo, netsnmp_request_info *requests) {
    for (netsnmp_request_info *r = requests; r != nullptr; r = r->next) {
        if (r->processed && MODE_IS_SET(reqinfo->mode)) continue;
        int error = answerCell(table, reqinfo, r);
        // A SET of a cell without a parameter creates nothing, in whichever phase the
        // table helpers first hand it down.
        if (error == NoSuchCell && reqinfo->mode != MODE_GET && reqinfo->mode != MODE_GETNEXT)
            error = SNMP_ERR_NOCREATION;
        // A cell that went well keeps whatever an earlier helper recorded on it.
        if (error != 0) netsnmp_set_request_error(reqinfo, r, error);
    }
}

// The end of the chain: GET and GETNEXT, after the data set helper found the row.
int deviceTableHandler(netsnmp_mib_handler *, netsnmp_handler_registration *reginfo,
                       netsnmp_agent_request_info *reqinfo, netsnmp_request_info *requests) {
    answerRequests(reginfo->handlerName, reqinfo, requests);
    return SNMP_ERR_NOERROR;
}

// Sits in front of the data set helper and answers every SET phase itself, so that SETs
// never reach that helper. The helper keeps a copy of each row being written, found by
// the OID of the first request of the list rather than of the request at hand: a PDU
// whose first binding names no cell (the table entry itself, say) followed by a real
// cell made it read far beyond the OID, and two cells of different rows were mixed up.
// The tables hold no values of their own, so the helper's copies serve no purpose here.
int deviceTableSetHandler(netsnmp_mib_handler *handler, netsnmp_handler_registration *reginfo,
                          netsnmp_agent_request_info *reqinfo, netsnmp_request_info *requests) {
    if (!MODE_IS_SET(reqinfo->mode)) return netsnmp_call_next_handler(handler, reginfo, reqinfo, requests);
    answerRequests(reginfo->handlerName, reqinfo, requests);
    return SNMP_ERR_NOERROR;
}

// Sits in front of the table helper and hands it the requests of a GET, GETNEXT or
// GETBULK one at a time. With several bindings into one table in a PDU (the entry OID
// followed by an OID beside the entry, say) the helper wrote through a null pointer;
// one binding at a time it answers each as it should.
int deviceTableSplitHandler(netsnmp_mib_handler *handler, netsnmp_handler_registration *reginfo,
                            netsnmp_agent_request_info *reqinfo, netsnmp_request_info *requests) {
    if (MODE_IS_SET(reqinfo->mode) || requests == nullptr || requests->next == nullptr)
        return netsnmp_call_next_handler(handler, reginfo, reqinfo, requests);
    int result = SNMP_ERR_NOERROR;
    for (netsnmp_request_info *r = requests; r != nullptr; r = r->next) {
        int rc = netsnmp_call_next_handler_one_request(handler, reginfo, reqinfo, r);
        if (rc != SNMP_ERR_NOERROR && result == SNMP_ERR_NOERROR) result = rc;
    }
    return result;
}

} // namespace

const char *lookupColumn(const char *table, unsigned column, uint8_t &type) {
    if (table == nullptr) return nullptr;
    for (const MibColumnMap &m : ColumnMap) {
        if (m.column == column && std::strcmp(m.table, table) == 0) {
            type = m.type;
            return m.prefix;
        }
    }
    return nullptr;
}

int init_deviceTables() {
    for (const DeviceTable &t : Tables) {
        netsnmp_table_data_set *set = netsnmp_create_table_data_set(t.name);
        if (set == nullptr) continue;
        set->allow_creation = 1;
        netsnmp_table_dataset_add_index(set, ASN_UNSIGNED);
        for (unsigned c = 0; c < t.columnCount; c++)
            netsnmp_table_set_add_default_row(set, t.columns[c].column, t.columns[c].type, t.writable ? 1 : 0,
                                              nullptr, 0);
        oid name[EnterpriseArcLength + 3];
        for (size_t i = 0; i < EnterpriseArcLength; i++)
            name[i] = EnterpriseArc[i];
        for (size_t i = 0; i < 3; i++)
            name[EnterpriseArcLength + i] = t.sub[i];
        netsnmp_handler_registration *reg = netsnmp_create_handler_registration(
            t.name, deviceTableHandler, name, EnterpriseArcLength + 3, HANDLER_CAN_RWRITE);
        if (reg == nullptr || netsnmp_register_table_data_set(reg, set, nullptr) != MIB_REGISTERED_OK)
            continue;
        netsnmp_mib_handler *setHandler = netsnmp_create_handler("deviceTableSet", deviceTableSetHandler);
        if (setHandler == nullptr ||
            netsnmp_inject_handler_before(reg, setHandler, "netsnmp_table_data_set") != SNMPERR_SUCCESS) {
            // Without it a SET would reach the data set helper: take the table out again.
            if (setHandler != nullptr) netsnmp_handler_free(setHandler);
            netsnmp_unregister_handler(reg);
            continue;
        }
        netsnmp_mib_handler *splitHandler =
            netsnmp_create_handler("deviceTableSplit", deviceTableSplitHandler);
        if (splitHandler == nullptr ||
            netsnmp_inject_handler_before(reg, splitHandler, "table") != SNMPERR_SUCCESS) {
            // Without it several bindings of a PDU would reach the table helper together.
            if (splitHandler != nullptr) netsnmp_handler_free(splitHandler);
            netsnmp_unregister_handler(reg);
            continue;
        }
        for (unsigned i = 1; i <= t.rows; i++) {
            netsnmp_table_row *row = netsnmp_create_table_data_row();
            if (row == nullptr) break;
            u_long index = i;
            snmp_varlist_add_variable(&row->indexes, nullptr, 0, ASN_UNSIGNED, &index, sizeof index);
            // Every cell gets its place in the row, so that the data set helper hands a GET
            // of it on (the values themselves always come from the handler).
            for (unsigned c = 0; c < t.columnCount; c++) {
                long zero = 0;
                const ColumnDecl &col = t.columns[c];
                if (col.type == ASN_INTEGER)
                    netsnmp_set_row_column(row, col.column, col.type, &zero, sizeof zero);
                else
                    netsnmp_set_row_column(row, col.column, col.type, "", 0);
                netsnmp_mark_row_column_writable(row, col.column, t.writable ? 1 : 0);
            }
            netsnmp_table_dataset_add_row(set, row);
        }
        netsnmp_register_auto_data_table(set, nullptr);
    }
    return 1;
}
