#include "korvane-notify/registry_watch.h"

#include <stdio.h>
#include <string.h>

namespace {

constexpr const char *kProps = "org.freedesktop.DBus.Properties";

int read_strv(sd_bus_message *m, std::vector<std::string> &out) {
    int r = sd_bus_message_enter_container(m, 'a', "s");
    if (r < 0) return r;
    out.clear();
    const char *s = nullptr;
    while ((r = sd_bus_message_read(m, "s", &s)) > 0) out.emplace_back(s);
    if (r < 0) return r;
    return sd_bus_message_exit_container(m);
}

}  // namespace

int registry_read_props(sd_bus_message *m, notify_facts_t &f) {
    int r = sd_bus_message_enter_container(m, 'a', "{sv}");
    if (r < 0) return r;
    while ((r = sd_bus_message_enter_container(m, 'e', "sv")) > 0) {
        const char *name = nullptr;
        if ((r = sd_bus_message_read(m, "s", &name)) < 0) return r;
        std::string *text = strcmp(name, "Verdict") == 0             ? &f.verdict
                            : strcmp(name, "ActiveProductName") == 0 ? &f.product_name
                                                                     : nullptr;
        std::vector<std::string> *list = strcmp(name, "Reasons") == 0 ? &f.reasons
                                         : strcmp(name, "Codes") == 0 ? &f.codes
                                                                      : nullptr;
        if (text != nullptr) {
            const char *s = nullptr;
            if ((r = sd_bus_message_read(m, "v", "s", &s)) < 0) return r;
            *text = s;
        } else if (list != nullptr) {
            if ((r = sd_bus_message_enter_container(m, 'v', "as")) < 0) return r;
            if ((r = read_strv(m, *list)) < 0) return r;
            if ((r = sd_bus_message_exit_container(m)) < 0) return r;
        } else if ((r = sd_bus_message_skip(m, "v")) < 0) {
            return r;
        }
        if ((r = sd_bus_message_exit_container(m)) < 0) return r;
    }
    if (r < 0) return r;
    return sd_bus_message_exit_container(m);
}

RegistryWatch::RegistryWatch(sd_event *ev, std::function<void(const notify_facts_t *)> changed)
    : m_changed(std::move(changed)) {
    BusLink::Hooks hooks;
    hooks.connected = [this](sd_bus *bus) { Connected(bus); };
    hooks.lost = [this] { Away(); };
    hooks.message = [this](sd_bus_message *m) { return Message(m); };
    m_link = std::make_unique<BusLink>(BusLink::Kind::kSystem, ev, std::move(hooks));
}

void RegistryWatch::Connected(sd_bus *bus) {
    m_link->AddMatch(std::string("type='signal',sender='org.freedesktop.DBus',member='"
                                 "NameOwnerChanged',arg0='") +
                     kRegistryName + "'");
    m_link->AddMatch(std::string("type='signal',sender='") + kRegistryName + "',path='" +
                     kRegistryPath + "',interface='" + kProps +
                     "',member='PropertiesChanged',arg0='" + kRegistryName + "'");
    // Asked after the matches, so that no change falls between the two.
    sd_bus_call_method_async(bus, nullptr, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                             "org.freedesktop.DBus", "GetNameOwner", on_owner, this, "s",
                             kRegistryName);
}

int RegistryWatch::on_owner(sd_bus_message *m, void *self, sd_bus_error *) {
    auto *w = static_cast<RegistryWatch *>(self);
    const char *owner = nullptr;
    if (sd_bus_message_is_method_error(m, nullptr) || sd_bus_message_read(m, "s", &owner) < 0)
        w->OwnerIs("");
    else
        w->OwnerIs(owner);
    return 1;
}

void RegistryWatch::OwnerIs(const std::string &owner) {
    m_owner = owner;
    if (owner.empty()) {
        Away();
        return;
    }
    if (m_away_said) fprintf(stderr, "korvane-notify: veskkorvaned is on the system bus again\n");
    m_away_said = false;
    sd_bus_call_method_async(m_link->bus(), nullptr, owner.c_str(), kRegistryPath, kProps, "GetAll",
                             on_all, this, "s", kRegistryName);
}

int RegistryWatch::on_all(sd_bus_message *m, void *self, sd_bus_error *) {
    auto *w = static_cast<RegistryWatch *>(self);
    // An answer from an owner that has gone since is stale.
    const char *sender = sd_bus_message_get_sender(m);
    if (sender == nullptr || w->m_owner != sender) return 1;
    notify_facts_t facts;
    if (sd_bus_message_is_method_error(m, nullptr) || registry_read_props(m, facts) < 0) {
        fprintf(stderr, "korvane-notify: cannot read %s's properties\n", kRegistryName);
        return 1;
    }
    w->m_facts = facts;
    w->m_known = true;
    w->m_changed(&w->m_facts);
    return 1;
}

bool RegistryWatch::Message(sd_bus_message *m) {
    const char *sender = sd_bus_message_get_sender(m);
    if (sender == nullptr) return false;
    if (sd_bus_message_is_signal(m, "org.freedesktop.DBus", "NameOwnerChanged") &&
        strcmp(sender, "org.freedesktop.DBus") == 0) {
        const char *name = nullptr, *old_owner = nullptr, *new_owner = nullptr;
        if (sd_bus_message_read(m, "sss", &name, &old_owner, &new_owner) < 0 ||
            strcmp(name, kRegistryName) != 0)
            return false;
        OwnerIs(new_owner);
        return true;
    }
    if (sd_bus_message_is_signal(m, kProps, "PropertiesChanged") && !m_owner.empty() &&
        m_owner == sender && strcmp(sd_bus_message_get_path(m), kRegistryPath) == 0) {
        const char *iface = nullptr;
        if (sd_bus_message_read(m, "s", &iface) < 0 || strcmp(iface, kRegistryName) != 0)
            return false;
        // Before the whole state has been read, the GetAll answer brings it.
        if (!m_known) return true;
        notify_facts_t facts = m_facts;
        if (registry_read_props(m, facts) < 0) return true;
        m_facts = facts;
        m_changed(&m_facts);
        return true;
    }
    return false;
}

void RegistryWatch::Away() {
    m_known = false;
    m_owner.clear();
    if (!m_away_said && m_link->bus() != nullptr)
        fprintf(stderr, "korvane-notify: veskkorvaned is not on the system bus; waiting for it\n");
    m_away_said = true;
    m_changed(nullptr);
}
