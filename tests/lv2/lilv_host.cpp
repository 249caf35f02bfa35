#include "tests/lv2/lilv_host.h"

#include <sndfile.h>

#include <algorithm>
#include <cmath>

namespace lv2_test {

HostedPlugin::HostedPlugin(const std::string& uri, double rate)
{
    m_World = lilv_world_new();
    lilv_world_load_all(m_World);
    LilvNode* uriNode = lilv_new_uri(m_World, uri.c_str());
    m_Plugin = lilv_plugins_get_by_uri(lilv_world_get_all_plugins(m_World), uriNode);
    lilv_node_free(uriNode);
    if (!m_Plugin) return;

    LilvNode* audio = lilv_new_uri(m_World, LILV_URI_AUDIO_PORT);
    LilvNode* input = lilv_new_uri(m_World, LILV_URI_INPUT_PORT);
    LilvNode* control = lilv_new_uri(m_World, LILV_URI_CONTROL_PORT);
    const uint32_t ports = lilv_plugin_get_num_ports(m_Plugin);
    m_Controls.assign(ports, 0.0f);
    std::vector<float> defaults(ports, 0.0f);
    lilv_plugin_get_port_ranges_float(m_Plugin, nullptr, nullptr, defaults.data());
    for (uint32_t i = 0; i < ports; ++i) {
        const LilvPort* port = lilv_plugin_get_port_by_index(m_Plugin, i);
        m_Symbols.push_back(lilv_node_as_string(lilv_port_get_symbol(m_Plugin, port)));
        if (lilv_port_is_a(m_Plugin, port, audio))
            (lilv_port_is_a(m_Plugin, port, input) ? m_AudioIn : m_AudioOut).push_back(i);
        else if (lilv_port_is_a(m_Plugin, port, control))
            m_Controls[i] = std::isnan(defaults[i]) ? 0.0f : defaults[i];
    }
    lilv_node_free(audio);
    lilv_node_free(input);

    m_Instance = lilv_plugin_instantiate(m_Plugin, rate, nullptr);
    if (m_Instance) {
        for (uint32_t i = 0; i < ports; ++i)
            if (lilv_port_is_a(m_Plugin, lilv_plugin_get_port_by_index(m_Plugin, i), control))
                lilv_instance_connect_port(m_Instance, i, &m_Controls[i]);
        lilv_instance_activate(m_Instance);
    }
    lilv_node_free(control);
}

HostedPlugin::~HostedPlugin()
{
    if (m_Instance) {
        lilv_instance_deactivate(m_Instance);
        lilv_instance_free(m_Instance);
    }
    lilv_world_free(m_World);
}

bool HostedPlugin::SetControl(const std::string& symbol, float value)
{
    const auto it = std::find(m_Symbols.begin(), m_Symbols.end(), symbol);
    if (it == m_Symbols.end()) return false;
    m_Controls[static_cast<size_t>(it - m_Symbols.begin())] = value;
    return true;
}

float HostedPlugin::Control(const std::string& symbol) const
{
    const auto it = std::find(m_Symbols.begin(), m_Symbols.end(), symbol);
    return it == m_Symbols.end() ? -1.0f : m_Controls[static_cast<size_t>(it - m_Symbols.begin())];
}

Planes HostedPlugin::Process(const Planes& in, const std::vector<uint32_t>& blocks)
{
    const size_t frames = in.empty() ? 0 : in[0].size();
    Planes out(m_AudioOut.size(), std::vector<float>(frames, 0.0f));
    size_t done = 0;
    for (size_t b = 0; done < frames; b = (b + 1) % blocks.size()) {
        const uint32_t n = static_cast<uint32_t>(std::min<size_t>(blocks[b], frames - done));
        // Ports move with every block, as a host's buffers may.
        for (size_t c = 0; c < m_AudioIn.size(); ++c)
            lilv_instance_connect_port(m_Instance, m_AudioIn[c], const_cast<float*>(in[c].data() + done));
        for (size_t c = 0; c < m_AudioOut.size(); ++c)
            lilv_instance_connect_port(m_Instance, m_AudioOut[c], out[c].data() + done);
        lilv_instance_run(m_Instance, n);
        done += n;
    }
    return out;
}

bool ReadPlanes(const std::string& path, Planes& planes, int& rate)
{
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (!file) return false;
    std::vector<float> interleaved(static_cast<size_t>(info.frames) * info.channels);
    const sf_count_t got = sf_readf_float(file, interleaved.data(), info.frames);
    sf_close(file);
    if (got != info.frames) return false;
    planes.assign(info.channels, std::vector<float>(info.frames));
    for (sf_count_t f = 0; f < info.frames; ++f)
        for (int c = 0; c < info.channels; ++c) planes[c][f] = interleaved[f * info.channels + c];
    rate = info.samplerate;
    return true;
}

bool WritePlanes(const std::string& path, const Planes& planes, int rate)
{
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = static_cast<int>(planes.size());
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!file) return false;
    const size_t frames = planes.empty() ? 0 : planes[0].size();
    std::vector<float> interleaved(frames * planes.size());
    for (size_t f = 0; f < frames; ++f)
        for (size_t c = 0; c < planes.size(); ++c) interleaved[f * planes.size() + c] = planes[c][f];
    const bool ok = sf_writef_float(file, interleaved.data(), static_cast<sf_count_t>(frames)) ==
                    static_cast<sf_count_t>(frames);
    return sf_close(file) == 0 && ok;
}

}  // namespace lv2_test
