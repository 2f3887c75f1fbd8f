#include "support/bus_client.h"

#include <systemd/sd-bus.h>

#include <cstring>

namespace vk_test {

namespace {

constexpr uint64_t kCallUsec = 10 * 1000 * 1000;

struct Reply {
    sd_bus_message *m = nullptr;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    ~Reply() {
        sd_bus_message_unref(m);
        sd_bus_error_free(&error);
    }
    std::string ErrorName(int r) const {
        if (error.name != nullptr) return error.name;
        return std::string("errno ") + strerror(-r);
    }
};

// Reads one variant's content as text (s, t, q, u, b or as).
int ReadValue(sd_bus_message *m, std::string &out) {
    char type;
    const char *contents;
    int r = sd_bus_message_peek_type(m, &type, &contents);
    if (r <= 0) return r < 0 ? r : -EBADMSG;
    if (type == 'v') {
        if ((r = sd_bus_message_enter_container(m, 'v', contents)) < 0) return r;
        if ((r = ReadValue(m, out)) < 0) return r;
        return sd_bus_message_exit_container(m);
    }
    if (type == 's') {
        const char *s;
        r = sd_bus_message_read(m, "s", &s);
        if (r >= 0) out = s;
        return r;
    }
    if (type == 't') {
        uint64_t t;
        r = sd_bus_message_read(m, "t", &t);
        if (r >= 0) out = std::to_string(t);
        return r;
    }
    if (type == 'a' && strcmp(contents, "s") == 0) {
        char **items = nullptr;
        r = sd_bus_message_read_strv(m, &items);
        if (r < 0) return r;
        out.clear();
        for (char **i = items; i && *i; ++i) {
            out += *i;
            out += '\n';
            free(*i);
        }
        free(items);
        return r;
    }
    return -EBADMSG;
}

// An a{sv} into `values`.
int ReadDict(sd_bus_message *m, BusValues &values) {
    int r = sd_bus_message_enter_container(m, 'a', "{sv}");
    if (r < 0) return r;
    while ((r = sd_bus_message_enter_container(m, 'e', "sv")) > 0) {
        const char *name;
        if ((r = sd_bus_message_read(m, "s", &name)) < 0) return r;
        std::string value;
        if ((r = ReadValue(m, value)) < 0) return r;
        values[name] = value;
        if ((r = sd_bus_message_exit_container(m)) < 0) return r;
    }
    if (r < 0) return r;
    return sd_bus_message_exit_container(m);
}

}  // namespace

BusClient::BusClient(const std::string &address, bool watch) {
    sd_bus *bus = nullptr;
    int r = sd_bus_new(&bus);
    if (r >= 0) r = sd_bus_set_address(bus, address.c_str());
    if (r >= 0) r = sd_bus_set_bus_client(bus, 1);
    if (r >= 0) r = sd_bus_start(bus);
    if (r < 0) {
        m_error = std::string("cannot connect to ") + address + ": " + strerror(-r);
        sd_bus_unref(bus);
        return;
    }
    m_bus = bus;
    if (!watch) return;
    std::string rule =
        std::string("type='signal',sender='") + kRegistryName + "',path='" + kRegistryPath + "'";
    r = sd_bus_add_match(
        m_bus, &m_match, rule.c_str(),
        [](sd_bus_message *m, void *self, sd_bus_error *) { return OnSignal(m, self, nullptr); },
        this);
    if (r < 0) {
        m_error = std::string("cannot subscribe: ") + strerror(-r);
        sd_bus_flush_close_unref(m_bus);
        m_bus = nullptr;
    }
}

BusClient::~BusClient() {
    sd_bus_slot_unref(m_match);
    if (m_bus != nullptr) sd_bus_flush_close_unref(m_bus);
}

int BusClient::OnSignal(sd_bus_message *m, void *self, void *) {
    auto *c = static_cast<BusClient *>(self);
    BusSignal s;
    s.member = sd_bus_message_get_member(m) ? sd_bus_message_get_member(m) : "";
    if (s.member == "PropertiesChanged") {
        const char *iface;
        char **invalid = nullptr;
        if (sd_bus_message_read(m, "s", &iface) < 0 || ReadDict(m, s.changed) < 0 ||
            sd_bus_message_read_strv(m, &invalid) < 0)
            s.member += " (unreadable)";
        for (char **i = invalid; i && *i; ++i) {
            s.invalidated.push_back(*i);
            free(*i);
        }
        free(invalid);
    } else if (s.member == "Notification") {
        const char *uuid = "", *data = "";
        if (sd_bus_message_read(m, "qss", &s.type, &uuid, &data) < 0) s.member += " (unreadable)";
        s.uuid = uuid;
        s.data = data;
    }
    c->m_signals.push_back(s);
    return 0;
}

std::optional<BusValues> BusClient::GetAll() {
    if (m_bus == nullptr) return std::nullopt;
    Reply reply;
    sd_bus_message *call = nullptr;
    int r = sd_bus_message_new_method_call(m_bus, &call, kRegistryName, kRegistryPath,
                                           "org.freedesktop.DBus.Properties", "GetAll");
    if (r >= 0) r = sd_bus_message_append(call, "s", kRegistryInterface);
    if (r >= 0) r = sd_bus_call(m_bus, call, kCallUsec, &reply.error, &reply.m);
    sd_bus_message_unref(call);
    BusValues values;
    if (r >= 0) r = ReadDict(reply.m, values);
    if (r < 0) {
        m_error = "GetAll: " + reply.ErrorName(r);
        return std::nullopt;
    }
    return values;
}

std::optional<std::string> BusClient::Get(const std::string &property) {
    if (m_bus == nullptr) return std::nullopt;
    Reply reply;
    int r = sd_bus_call_method(m_bus, kRegistryName, kRegistryPath,
                               "org.freedesktop.DBus.Properties", "Get", &reply.error, &reply.m,
                               "ss", kRegistryInterface, property.c_str());
    std::string value;
    if (r >= 0) r = ReadValue(reply.m, value);
    if (r < 0) {
        m_error = "Get " + property + ": " + reply.ErrorName(r);
        return std::nullopt;
    }
    return value;
}

std::string BusClient::Call(const std::string &interface, const std::string &member,
                            const char *signature, const std::string &arg) {
    if (m_bus == nullptr) return "not connected";
    Reply reply;
    sd_bus_message *call = nullptr;
    int r = sd_bus_message_new_method_call(m_bus, &call, kRegistryName, kRegistryPath,
                                           interface.c_str(), member.c_str());
    if (r >= 0 && signature != nullptr) r = sd_bus_message_append(call, signature, arg.c_str());
    if (r >= 0) r = sd_bus_call(m_bus, call, kCallUsec, &reply.error, &reply.m);
    sd_bus_message_unref(call);
    return r < 0 ? reply.ErrorName(r) : "";
}

std::string BusClient::RequestName(const std::string &name) {
    if (m_bus == nullptr) return "not connected";
    Reply reply;
    int r = sd_bus_call_method(m_bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                               "org.freedesktop.DBus", "RequestName", &reply.error, &reply.m, "su",
                               name.c_str(), 4u /* DO_NOT_QUEUE */);
    if (r < 0) return reply.ErrorName(r);
    uint32_t result = 0;
    if (sd_bus_message_read(reply.m, "u", &result) < 0) return "unreadable reply";
    return result == 1 ? "" : "not primary owner";
}

bool BusClient::HasOwner(const std::string &name) {
    if (m_bus == nullptr) return false;
    Reply reply;
    int r = sd_bus_call_method(m_bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                               "org.freedesktop.DBus", "NameHasOwner", &reply.error, &reply.m, "s",
                               name.c_str());
    int has = 0;
    return r >= 0 && sd_bus_message_read(reply.m, "b", &has) >= 0 && has != 0;
}

std::string BusClient::Introspect() {
    if (m_bus == nullptr) return "";
    Reply reply;
    int r = sd_bus_call_method(m_bus, kRegistryName, kRegistryPath,
                               "org.freedesktop.DBus.Introspectable", "Introspect", &reply.error,
                               &reply.m, nullptr);
    const char *xml = nullptr;
    if (r < 0 || sd_bus_message_read(reply.m, "s", &xml) < 0) {
        m_error = "Introspect: " + reply.ErrorName(r);
        return "";
    }
    return xml;
}

bool BusClient::Sync() {
    if (m_bus == nullptr) return false;
    if (!Call("org.freedesktop.DBus.Peer", "Ping").empty()) return false;
    // The call left what came meanwhile queued: hand it to the match.
    int r;
    while ((r = sd_bus_process(m_bus, nullptr)) > 0) {
    }
    return r >= 0;
}

std::vector<BusSignal> BusClient::Take() {
    std::vector<BusSignal> out;
    out.swap(m_signals);
    return out;
}

}  // namespace vk_test
