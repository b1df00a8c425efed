// Reads the server's profiler for a while and tells, for every driver that
// ran, its period and the nodes that followed it: the graph's clock groups.
//
//   clock_groups <seconds>
//
// Prints one JSON object per driver, one a line, after `seconds`:
//   {"driver":30,"name":"sink","period":2048,"cycles":117,
//    "followers":[81,82],"frames_per_second":48000.02}
// period is the median of the cycles' durations in frames; followers are the
// nodes that ran in its cycles; frames_per_second is how far the driver's
// clock position moved per second of its own time stamps (the device's rate
// as the system clock sees it). Exits 1 when no profiler is found.
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "linux/pipewire/pipewire_api.h"

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpedantic"
#pragma GCC diagnostic ignored "-Wconversion"
#pragma GCC diagnostic ignored "-Wsign-conversion"
#pragma GCC diagnostic ignored "-Wold-style-cast"
#pragma GCC diagnostic ignored "-Wcast-qual"
#include <pipewire/extensions/profiler.h>
#include <pipewire/impl-module.h>
#include <spa/param/profiler.h>
#include <spa/pod/parser.h>

namespace {

struct ClockReading {
    int64_t nsec = 0;
    int64_t position = 0;
    int64_t duration = 0;
    spa_fraction rate{};
};

bool ParseClock(const spa_pod* pod, ClockReading& clock) {
    int32_t flags = 0, id = 0;
    const char* name = nullptr;
    int64_t delay = 0, next = 0;
    double rateDiff = 0;
    return spa_pod_parse_struct(pod, SPA_POD_Int(&flags), SPA_POD_Int(&id), SPA_POD_String(&name),
                                SPA_POD_Long(&clock.nsec), SPA_POD_Fraction(&clock.rate),
                                SPA_POD_Long(&clock.position), SPA_POD_Long(&clock.duration),
                                SPA_POD_Long(&delay), SPA_POD_Double(&rateDiff),
                                SPA_POD_Long(&next)) >= 0;
}

// The id and name that open a driver or follower block.
bool ParseBlockNode(const spa_pod* pod, int32_t& id, std::string& name) {
    spa_pod_parser parser;
    spa_pod_frame frame{};
    spa_pod_parser_pod(&parser, pod);
    const char* text = nullptr;
    if (spa_pod_parser_push_struct(&parser, &frame) < 0 ||
        spa_pod_parser_get_int(&parser, &id) < 0 || spa_pod_parser_get_string(&parser, &text) < 0)
        return false;
    name = text != nullptr ? text : "";
    return true;
}

// The members of a Struct pod.
std::vector<const spa_pod*> StructMembers(const spa_pod* pod) {
    std::vector<const spa_pod*> members;
    if (!spa_pod_is_struct(pod)) return members;
    const void* body = SPA_POD_BODY_CONST(pod);
    for (const spa_pod* member = static_cast<const spa_pod*>(body);
         spa_pod_is_inside(body, SPA_POD_BODY_SIZE(pod), member);
         member = static_cast<const spa_pod*>(spa_pod_next(member)))
        members.push_back(member);
    return members;
}

int AddProfilerListener(pw_proxy* profiler, spa_hook* listener, const pw_profiler_events* events,
                        void* data) {
    return pw_profiler_method(reinterpret_cast<pw_profiler*>(profiler), add_listener, 0, listener,
                              events, data);
}

}  // namespace
#pragma GCC diagnostic pop

namespace {

struct Driver {
    std::string name;
    std::vector<int64_t> periods;
    std::set<int32_t> followers;
    ClockReading first, last;
    bool seen = false;
};

struct Probe {
    pw_main_loop* loop = nullptr;
    // The profiler may hand over cycles it kept from before this watch
    // began (for an earlier listener): those are left out.
    int64_t startNsec = 0;
    RegistryPtr registry;
    spa_hook registryListener{};
    ProxyPtr profiler;
    spa_hook profilerListener{};
    std::map<int32_t, Driver> drivers;
};

void OnProfile(void* data, const spa_pod* pod) {
    auto& probe = *static_cast<Probe*>(data);
    for (const spa_pod* object : StructMembers(pod)) {
        if (!spa_pod_is_object_type(object, SPA_TYPE_OBJECT_Profiler)) continue;
        ClockReading clock;
        bool hasClock = false;
        int32_t driverId = -1;
        std::string driverName;
        std::vector<int32_t> followers;
        const spa_pod_prop* prop = nullptr;
        SPA_POD_OBJECT_FOREACH(reinterpret_cast<const spa_pod_object*>(object), prop) {
            int32_t id = 0;
            std::string name;
            switch (prop->key) {
            case SPA_PROFILER_clock:
                hasClock = ParseClock(&prop->value, clock);
                break;
            case SPA_PROFILER_driverBlock:
                if (ParseBlockNode(&prop->value, id, name)) {
                    driverId = id;
                    driverName = name;
                }
                break;
            case SPA_PROFILER_followerBlock:
                if (ParseBlockNode(&prop->value, id, name)) followers.push_back(id);
                break;
            default:
                break;
            }
        }
        if (!hasClock || driverId < 0 || clock.rate.denom == 0 || clock.nsec < probe.startNsec)
            continue;
        Driver& driver = probe.drivers[driverId];
        driver.name = driverName;
        // The duration counts ticks of the clock's rate: frames at its rate.
        driver.periods.push_back(clock.duration * clock.rate.num);
        driver.followers.insert(followers.begin(), followers.end());
        if (!driver.seen) driver.first = clock;
        driver.last = clock;
        driver.seen = true;
    }
}

void OnGlobal(void* data, uint32_t id, uint32_t, const char* type, uint32_t, const spa_dict*) {
    auto& probe = *static_cast<Probe*>(data);
    if (probe.profiler || !PropertyEquals(type, PW_TYPE_INTERFACE_Profiler)) return;
    probe.profiler.reset(static_cast<pw_proxy*>(pw_registry_bind(
        probe.registry.get(), id, PW_TYPE_INTERFACE_Profiler, PW_VERSION_PROFILER, 0)));
    static const pw_profiler_events kEvents = [] {
        pw_profiler_events events{};
        events.version = PW_VERSION_PROFILER_EVENTS;
        events.profile = &OnProfile;
        return events;
    }();
    if (probe.profiler)
        AddProfilerListener(probe.profiler.get(), &probe.profilerListener, &kEvents, &probe);
}

void PrintDriver(int32_t id, Driver& driver) {
    std::vector<int64_t> periods = driver.periods;
    std::nth_element(periods.begin(), periods.begin() + static_cast<long>(periods.size() / 2),
                     periods.end());
    const int64_t elapsed = driver.last.nsec - driver.first.nsec;
    const double framesPerSecond =
        elapsed > 0 ? 1e9 * static_cast<double>(driver.last.position - driver.first.position) /
                          static_cast<double>(elapsed)
                    : 0.0;
    std::printf("{\"driver\":%d,\"name\":\"%s\",\"period\":%lld,\"cycles\":%zu,\"followers\":[", id,
                driver.name.c_str(), static_cast<long long>(periods[periods.size() / 2]),
                periods.size());
    bool first = true;
    for (int32_t follower : driver.followers) {
        if (follower == id) continue;
        std::printf("%s%d", first ? "" : ",", follower);
        first = false;
    }
    std::printf("],\"frames_per_second\":%.3f}\n", framesPerSecond);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2 || std::atof(argv[1]) <= 0) {
        std::fputs("usage: clock_groups <seconds>\n", stderr);
        return 2;
    }
    const double seconds = std::atof(argv[1]);
    PipeWireLibrary library;
    const MainLoopPtr loop(pw_main_loop_new(nullptr));
    const ContextPtr context(pw_context_new(pw_main_loop_get_loop(loop.get()), nullptr, 0));
    // The profiler's protocol comes with its module, on this side too.
    if (context)
        pw_context_load_module(context.get(), PW_EXTENSION_MODULE_PROFILER, nullptr, nullptr);
    const CorePtr core(context ? pw_context_connect(context.get(), nullptr, 0) : nullptr);
    if (!core) {
        std::perror("clock_groups: connect");
        return 1;
    }
    Probe probe;
    probe.loop = loop.get();
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);  // the clock of the drivers' time stamps
    probe.startNsec = static_cast<int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
    probe.registry.reset(GetRegistry(core.get()));
    static const pw_registry_events kRegistryEvents = [] {
        pw_registry_events events{};
        events.version = PW_VERSION_REGISTRY_EVENTS;
        events.global = &OnGlobal;
        return events;
    }();
    AddRegistryListener(probe.registry.get(), &probe.registryListener, &kRegistryEvents, &probe);

    pw_loop* mainLoop = pw_main_loop_get_loop(loop.get());
    LoopSource stop(mainLoop, AddTimerSource(
                                  mainLoop,
                                  [](void* data, uint64_t) {
                                      pw_main_loop_quit(static_cast<pw_main_loop*>(data));
                                  },
                                  loop.get()));
    const auto whole = static_cast<time_t>(seconds);
    ArmTimerSource(
        mainLoop, stop.Get(),
        timespec{whole, static_cast<long>((seconds - static_cast<double>(whole)) * 1e9)});
    pw_main_loop_run(loop.get());

    if (probe.profiler) spa_hook_remove(&probe.profilerListener);
    spa_hook_remove(&probe.registryListener);
    if (!probe.profiler) {
        std::fputs("clock_groups: the server has no profiler\n", stderr);
        return 1;
    }
    for (auto& [id, driver] : probe.drivers)
        PrintDriver(id, driver);
    probe.profiler.reset();
    probe.registry.reset();
    return 0;
}
