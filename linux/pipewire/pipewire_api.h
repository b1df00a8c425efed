// The one place the PipeWire library is included. Its headers are C: their
// inline functions and macros trip warnings that this project treats as
// errors, so they are included here with exactly those warnings silenced, the
// macros the tool calls are wrapped in small typed functions defined in the
// same silenced region, and every kind of library object gets an owner.
#pragma once

#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpedantic"
#pragma GCC diagnostic ignored "-Wconversion"
#pragma GCC diagnostic ignored "-Wsign-conversion"
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#pragma GCC diagnostic ignored "-Wold-style-cast"
#pragma GCC diagnostic ignored "-Wcast-qual"
#include <pipewire/extensions/metadata.h>
#include <pipewire/pipewire.h>
#include <spa/param/audio/format-utils.h>
#include <spa/param/buffers.h>
#include <spa/param/port-config.h>
#include <spa/debug/types.h>
#include <spa/utils/json.h>
#include <spa/utils/result.h>

inline int AddCoreListener(pw_core* core, spa_hook* listener, const pw_core_events* events,
                           void* data) {
    return pw_core_add_listener(core, listener, events, data);
}

// Asks the server to answer with a done event carrying the returned sequence
// number once it has handled everything sent before.
inline int SyncCore(pw_core* core) {
    return pw_core_sync(core, PW_ID_CORE, 0);
}

inline pw_registry* GetRegistry(pw_core* core) {
    return pw_core_get_registry(core, PW_VERSION_REGISTRY, 0);
}

inline int AddRegistryListener(pw_registry* registry, spa_hook* listener,
                               const pw_registry_events* events, void* data) {
    return pw_registry_add_listener(registry, listener, events, data);
}

// Binds a global to read its properties; the proxy's info event brings them.
inline pw_proxy* BindClient(pw_registry* registry, uint32_t id) {
    return static_cast<pw_proxy*>(
        pw_registry_bind(registry, id, PW_TYPE_INTERFACE_Client, PW_VERSION_CLIENT, 0));
}

inline pw_proxy* BindNode(pw_registry* registry, uint32_t id) {
    return static_cast<pw_proxy*>(
        pw_registry_bind(registry, id, PW_TYPE_INTERFACE_Node, PW_VERSION_NODE, 0));
}

inline pw_proxy* BindMetadata(pw_registry* registry, uint32_t id) {
    return static_cast<pw_proxy*>(
        pw_registry_bind(registry, id, PW_TYPE_INTERFACE_Metadata, PW_VERSION_METADATA, 0));
}

inline int AddMetadataListener(pw_proxy* metadata, spa_hook* listener,
                               const pw_metadata_events* events, void* data) {
    return pw_metadata_add_listener(reinterpret_cast<pw_metadata*>(metadata), listener, events,
                                    data);
}

inline int AddClientListener(pw_proxy* client, spa_hook* listener, const pw_client_events* events,
                             void* data) {
    return pw_client_add_listener(reinterpret_cast<pw_client*>(client), listener, events, data);
}

inline int AddNodeListener(pw_proxy* node, spa_hook* listener, const pw_node_events* events,
                           void* data) {
    return pw_node_add_listener(reinterpret_cast<pw_node*>(node), listener, events, data);
}

// Asks for a node's parameters of the given ids now and whenever they change;
// they arrive as the node's param events.
inline int SubscribeNodeParams(pw_proxy* node, uint32_t* ids, uint32_t count) {
    return pw_node_subscribe_params(reinterpret_cast<pw_node*>(node), ids, count);
}

// Sets a parameter of a node (a bound node proxy); the server passes it on
// to the node's owner, also when that is this client.
inline int SetNodeParam(pw_proxy* node, uint32_t id, const spa_pod* param) {
    return pw_node_set_param(reinterpret_cast<pw_node*>(node), id, 0, param);
}

// Creates a link owned by this client: the server removes it when the client
// goes, however it goes.
inline pw_proxy* CreateLink(pw_core* core, const spa_dict* properties) {
    return static_cast<pw_proxy*>(pw_core_create_object(
        core, "link-factory", PW_TYPE_INTERFACE_Link, PW_VERSION_LINK, properties, 0));
}

inline spa_source* AddIoSource(pw_loop* loop, int fd, uint32_t mask, spa_source_io_func_t func,
                               void* data) {
    return pw_loop_add_io(loop, fd, mask, false, func, data);
}

// Changes what an I/O source waits for; 0 pauses it.
inline int UpdateIoSource(pw_loop* loop, spa_source* source, uint32_t mask) {
    return pw_loop_update_io(loop, source, mask);
}

inline spa_source* AddEventSource(pw_loop* loop, spa_source_event_func_t func, void* data) {
    return pw_loop_add_event(loop, func, data);
}

inline int SignalEventSource(pw_loop* loop, spa_source* source) {
    return pw_loop_signal_event(loop, source);
}

inline spa_source* AddTimerSource(pw_loop* loop, spa_source_timer_func_t func, void* data) {
    return pw_loop_add_timer(loop, func, data);
}

// Arms a one-shot timer that fires after the given time.
inline int ArmTimerSource(pw_loop* loop, spa_source* source, const timespec& after) {
    timespec value = after;
    return pw_loop_update_timer(loop, source, &value, nullptr, false);
}

// Arms a timer that fires every `interval`, the first time after one.
inline int ArmRepeatingTimerSource(pw_loop* loop, spa_source* source, const timespec& interval) {
    timespec value = interval, repeat = interval;
    return pw_loop_update_timer(loop, source, &value, &repeat, false);
}

inline void DestroySource(pw_loop* loop, spa_source* source) {
    pw_loop_destroy_source(loop, source);
}

// A stream format offered for negotiation (EnumFormat).
inline const spa_pod* BuildRawAudioFormat(spa_pod_builder* builder,
                                          const spa_audio_info_raw& info) {
    spa_audio_info_raw copy = info;
    return spa_format_audio_raw_build(builder, SPA_PARAM_EnumFormat, &copy);
}

// The position of a channel named as in a port's audio.channel ("FL", "LFE");
// SPA_AUDIO_CHANNEL_UNKNOWN for a name the library does not know.
inline uint32_t AudioChannelPosition(const char* name) {
    return spa_debug_type_find_type_short(spa_type_audio_channel, name);
}

// The channel positions of a raw audio format (a Format or EnumFormat
// parameter), by name ("FL", "MONO"); nothing when the parameter is not raw
// audio or does not fix its channels and their positions.
inline std::optional<std::vector<std::string>> RawAudioPositions(const spa_pod* param) {
    uint32_t mediaType = 0, mediaSubtype = 0;
    if (param == nullptr || spa_format_parse(param, &mediaType, &mediaSubtype) < 0 ||
        mediaType != SPA_MEDIA_TYPE_audio || mediaSubtype != SPA_MEDIA_SUBTYPE_raw) {
        return std::nullopt;
    }
    spa_audio_info_raw info{};
    if (spa_format_audio_raw_parse(param, &info) < 0 || info.channels == 0 ||
        info.channels > SPA_AUDIO_MAX_CHANNELS || (info.flags & SPA_AUDIO_FLAG_UNPOSITIONED) != 0) {
        return std::nullopt;
    }
    std::vector<std::string> positions;
    for (uint32_t i = 0; i < info.channels; ++i) {
        const char* name = spa_debug_type_find_short_name(spa_type_audio_channel, info.position[i]);
        if (name == nullptr) return std::nullopt;
        positions.emplace_back(name);
    }
    return positions;
}

// A node's port configuration (PortConfig) for one direction: ports in DSP
// form, one per position of `positions`, without monitor ports. The node's
// converter then mixes between those ports and the format it negotiated.
inline const spa_pod* BuildDspPortConfig(spa_pod_builder* builder, spa_direction direction,
                                         const spa_audio_info_raw& positions) {
    spa_audio_info_raw dsp = positions;
    dsp.format = SPA_AUDIO_FORMAT_F32P;
    spa_pod_frame frame{};
    spa_pod_builder_push_object(builder, &frame, SPA_TYPE_OBJECT_ParamPortConfig,
                                SPA_PARAM_PortConfig);
    spa_pod_builder_add(builder, SPA_PARAM_PORT_CONFIG_direction, SPA_POD_Id(direction),
                        SPA_PARAM_PORT_CONFIG_mode, SPA_POD_Id(SPA_PARAM_PORT_CONFIG_MODE_dsp),
                        SPA_PARAM_PORT_CONFIG_monitor, SPA_POD_Bool(false), 0);
    spa_pod_builder_prop(builder, SPA_PARAM_PORT_CONFIG_format, 0);
    spa_format_audio_raw_build(builder, SPA_PARAM_Format, &dsp);
    return static_cast<const spa_pod*>(spa_pod_builder_pop(builder, &frame));
}

// A Buffers parameter asking for exactly `buffers` buffers of one block each.
// Exactly: the stream's converter offers a range whose default is 2, and the
// adapter fixes the intersection of a range with it at that default.
inline const spa_pod* BuildBuffersParam(spa_pod_builder* builder, int buffers) {
    return static_cast<const spa_pod*>(spa_pod_builder_add_object(
        builder, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_buffers,
        SPA_POD_Int(buffers), SPA_PARAM_BUFFERS_blocks, SPA_POD_Int(1)));
}

// A property of a global or an object's info; null when the dictionary or
// the key is missing.
inline const char* LookupProperty(const spa_dict* props, const char* key) {
    return props == nullptr ? nullptr : spa_dict_lookup(props, key);
}

#pragma GCC diagnostic pop

// Whether a property is present and has exactly the expected value.
inline bool PropertyEquals(const char* value, const char* expected) {
    return value != nullptr && std::strcmp(value, expected) == 0;
}

// The media class of the nodes that play sound into the graph.
inline constexpr char kPlaybackStreamClass[] = "Stream/Output/Audio";

// Owners, one deleter per kind of object.
struct MainLoopDeleter {
    void operator()(pw_main_loop* loop) const { pw_main_loop_destroy(loop); }
};
struct ContextDeleter {
    void operator()(pw_context* context) const { pw_context_destroy(context); }
};
struct CoreDeleter {
    void operator()(pw_core* core) const { pw_core_disconnect(core); }
};
struct StreamDeleter {
    void operator()(pw_stream* stream) const { pw_stream_destroy(stream); }
};
struct PropertiesDeleter {
    void operator()(pw_properties* properties) const { pw_properties_free(properties); }
};
// The registry and the bound clients, nodes and links: all are proxies.
template <typename Proxy>
struct ProxyDeleter {
    void operator()(Proxy* proxy) const { pw_proxy_destroy(reinterpret_cast<pw_proxy*>(proxy)); }
};

using MainLoopPtr = std::unique_ptr<pw_main_loop, MainLoopDeleter>;
using ContextPtr = std::unique_ptr<pw_context, ContextDeleter>;
using CorePtr = std::unique_ptr<pw_core, CoreDeleter>;
using StreamPtr = std::unique_ptr<pw_stream, StreamDeleter>;
using PropertiesPtr = std::unique_ptr<pw_properties, PropertiesDeleter>;
using RegistryPtr = std::unique_ptr<pw_registry, ProxyDeleter<pw_registry>>;
using ProxyPtr = std::unique_ptr<pw_proxy, ProxyDeleter<pw_proxy>>;

// Owns a loop source: removes it from its loop when reset or destroyed.
class LoopSource {
public:
    LoopSource() = default;
    LoopSource(pw_loop* loop, spa_source* source) : loop_(loop), source_(source) {}
    LoopSource(LoopSource&& other) noexcept
        : loop_(other.loop_), source_(std::exchange(other.source_, nullptr)) {}
    LoopSource& operator=(LoopSource&& other) noexcept {
        if (this != &other) {
            Reset();
            loop_ = other.loop_;
            source_ = std::exchange(other.source_, nullptr);
        }
        return *this;
    }
    LoopSource(const LoopSource&) = delete;
    LoopSource& operator=(const LoopSource&) = delete;
    ~LoopSource() { Reset(); }

    spa_source* Get() const { return source_; }
    explicit operator bool() const { return source_ != nullptr; }
    void Reset() {
        if (source_ != nullptr) DestroySource(loop_, std::exchange(source_, nullptr));
    }

private:
    pw_loop* loop_ = nullptr;
    spa_source* source_ = nullptr;
};

// Initialises the library for as long as it lives.
class PipeWireLibrary {
public:
    PipeWireLibrary() { pw_init(nullptr, nullptr); }
    ~PipeWireLibrary() { pw_deinit(); }
    PipeWireLibrary(const PipeWireLibrary&) = delete;
    PipeWireLibrary& operator=(const PipeWireLibrary&) = delete;
};
