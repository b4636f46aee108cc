#include "ScanChannels.h"

#include "ChannelPlan.h"
#include "DomainConfig.h"
#include "RadioList.h"

#include <algorithm>
#include <limits>
#include <vector>

namespace rrm {

namespace {

int32_t saturate(int64_t value)
{
    if (value > std::numeric_limits<int32_t>::max())
        return std::numeric_limits<int32_t>::max();
    if (value < std::numeric_limits<int32_t>::min())
        return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(value);
}

void append_number(std::string& out, int32_t value)
{
    out += std::to_string(value);
    out += ' ';
}

// Without the blanks at either end; a text of blanks only stays as it is.
std::string trimmed(const std::string& text)
{
    const std::size_t first = text.find_first_not_of(' ');
    if (first == std::string::npos)
        return text;
    const std::size_t last = text.find_last_not_of(' ');
    return text.substr(first, last - first + 1);
}

}  // namespace

std::string scan_channels_to_string(const ChannelSets& sets)
{
    std::string text;
    for (int32_t band : {BAND_2G, BAND_5G})
        for (int32_t channel : sets[static_cast<std::size_t>(band)])
            append_number(text, channel);
    return trimmed(text);
}

std::string channel_set_to_string(const std::unordered_set<int32_t>& set)
{
    std::vector<int32_t> channels(set.begin(), set.end());
    std::sort(channels.begin(), channels.end());
    std::string text;
    for (int32_t channel : channels) {
        if (!text.empty())
            text += ' ';
        text += std::to_string(channel);
    }
    return text;
}

ChannelSets ap_scan_channel_sets(const RadioList& radios)
{
    ChannelSets sets;
    for (const Radio& radio : radios.radios)
        for (int32_t channel : radio.available_channels) {
            const int32_t band = radio.get_channel_band(channel);
            if (band > BAND_NONE && static_cast<std::size_t>(band) < sets.size())
                sets[static_cast<std::size_t>(band)].insert(channel);
        }
    return sets;
}

int32_t scan_time_for_channels(const DomainConfig& settings, int64_t channel_count)
{
    return saturate((channel_count * 7 / 10 + 1) * settings.scan_channel_factor);
}

int32_t own_scan_step_time(const DomainConfig& settings)
{
    return saturate(int64_t{settings.own_scan_count} * settings.own_scan_time);
}

int32_t scan_step_time(const DomainConfig& settings, const ChannelSets& domain_sets)
{
    if (settings.use_tavik_rrm_scan)
        return own_scan_step_time(settings);
    const std::size_t largest =
        std::max({std::size_t{14}, domain_sets[BAND_5G].size(), domain_sets[BAND_6G].size()});
    return scan_time_for_channels(settings, static_cast<int64_t>(largest));
}

void channel_sets_text(const ChannelSets& sets, std::string& out)
{
    for (const auto& set : sets)
        for (int32_t channel : set)
            append_number(out, channel);
}

void ap_channels_text(const RadioList& radios, std::string& out)
{
    for (const Radio& radio : radios.radios)
        for (int32_t channel : radio.available_channels)
            append_number(out, channel);
}

}  // namespace rrm
