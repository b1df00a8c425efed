#include "windows/simaudio/endpoint_scenario.h"

#include <cstdlib>

namespace {

template <typename Value>
struct Named {
    const char* name;
    Value value;
};

template <typename Value, size_t size>
bool Lookup(const Named<Value> (&table)[size], const std::string& name, Value& value) {
    for (const Named<Value>& entry : table) {
        if (name == entry.name) {
            value = entry.value;
            return true;
        }
    }
    return false;
}

const Named<EDataFlow> kFlows[] = {{"render", eRender}, {"capture", eCapture}};
const Named<DWORD> kDeviceStates[] = {{"active", DEVICE_STATE_ACTIVE},
                                      {"disabled", DEVICE_STATE_DISABLED},
                                      {"notpresent", DEVICE_STATE_NOTPRESENT},
                                      {"unplugged", DEVICE_STATE_UNPLUGGED}};
const Named<AudioSessionState> kSessionStates[] = {{"active", AudioSessionStateActive},
                                                   {"inactive", AudioSessionStateInactive},
                                                   {"expired", AudioSessionStateExpired}};

bool ParseNumber(const std::string& text, DWORD& number) {
    if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != text.npos) {
        return false;
    }
    const unsigned long long value = std::strtoull(text.c_str(), nullptr, 10);
    if (value > 0xFFFFFFFFull) return false;
    number = static_cast<DWORD>(value);
    return true;
}

}  // namespace

bool IsEndpointWord(const std::string& word) {
    return word == "endpoint" || word == "session";
}

bool ParseEndpointLine(const std::vector<std::string>& tokens,
                       std::vector<SimulatedEndpoint>& endpoints) {
    if (tokens[0] == "endpoint") {
        SimulatedEndpoint endpoint;
        if (tokens.size() < 3 || tokens.size() > 4 || !Lookup(kFlows, tokens[1], endpoint.flow) ||
            !Lookup(kDeviceStates, tokens[2], endpoint.state)) {
            return false;
        }
        if (tokens.size() == 4 && (tokens[3].compare(0, 6, "stall=") != 0 ||
                                   !ParseNumber(tokens[3].substr(6), endpoint.stallMilliseconds))) {
            return false;
        }
        endpoints.push_back(endpoint);
        return true;
    }
    SimulatedSession session;
    if (endpoints.empty() || tokens.size() < 3 || tokens.size() > 5 ||
        !ParseNumber(tokens[1], session.pid) || !Lookup(kSessionStates, tokens[2], session.state)) {
        return false;
    }
    for (size_t i = 3; i < tokens.size(); ++i) {
        if (tokens[i] == "system" && !session.systemSounds) {
            session.systemSounds = true;
        } else if (tokens[i] == "shared" && !session.shared) {
            session.shared = true;
        } else {
            return false;
        }
    }
    endpoints.back().sessions.push_back(session);
    return true;
}
