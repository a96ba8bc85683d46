#include "core/espeak.hpp"

#include <espeak-ng/espeak_ng.h>
#include <espeak-ng/speak_lib.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <mutex>
#include <new>

namespace vestrel::espeak {

namespace {

// Guards every call into libespeak-ng and the state below.
std::mutex g_mutex;
int g_sample_rate = 0;  // > 0 once initialised

// The synthesis in progress (set and cleared under g_mutex), filled by the callback.
struct Collector {
    Speech* speech = nullptr;
    std::vector<espeak_EVENT> words;
    bool failed = false;
};
Collector* g_collector = nullptr;

const char* const kListHint =
    "list the valid voices with `espeak-ng --voices` or vestrel.tts.list_espeak_voices()";

std::string status_text(espeak_ng_STATUS status) {
    char buffer[512] = {0};
    espeak_ng_GetStatusCodeMessage(status, buffer, sizeof buffer);
    return buffer;
}

bool is_directory(const char* path) {
    struct stat st;
    return path && stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

int synth_callback(short* wav, int count, espeak_EVENT* events) {
    Collector* c = g_collector;
    if (!c) return 1;
    try {
        for (espeak_EVENT* e = events; e && e->type != espeakEVENT_LIST_TERMINATED; ++e)
            if (e->type == espeakEVENT_WORD && e->length > 0) c->words.push_back(*e);
        if (wav && count > 0) c->speech->samples.insert(c->speech->samples.end(), wav, wav + count);
    } catch (const std::bad_alloc&) {
        c->failed = true;
        return 1;  // stops the synthesis
    }
    return 0;
}

// espeak-ng finds its data from a path, $ESPEAK_DATA_PATH, ~/espeak-ng-data or the path it
// was built with (Debian: /usr/lib/<triplet>/espeak-ng-data). The built-in search comes
// first; the usual install places are tried only if it fails, so a library built for
// another prefix still finds data installed by the system's packages.
void initialize_locked() {
    if (g_sample_rate > 0) return;
    const char* candidates[] = {
        nullptr,
        "/usr/lib/x86_64-linux-gnu/espeak-ng-data",
        "/usr/lib/aarch64-linux-gnu/espeak-ng-data",
        "/usr/lib/espeak-ng-data",
        "/usr/share/espeak-ng-data",
        "/usr/local/share/espeak-ng-data",
        "/usr/local/lib/espeak-ng-data",
    };
    std::string errors;
    for (const char* path : candidates) {
        if (path && !is_directory(path)) continue;
        espeak_ng_InitializePath(path);
        espeak_ng_ERROR_CONTEXT context = nullptr;
        espeak_ng_STATUS status = espeak_ng_Initialize(&context);
        espeak_ng_ClearErrorContext(&context);
        if (status != ENS_OK) {
            errors += std::string(errors.empty() ? "" : "; ") + (path ? path : "default path") +
                      ": " + status_text(status);
            continue;
        }
        status = espeak_ng_InitializeOutput(ENOUTPUT_MODE_SYNCHRONOUS, 0, nullptr);
        if (status != ENS_OK)
            throw Error("espeak-ng output could not be initialised: " + status_text(status));
        espeak_SetSynthCallback(&synth_callback);
        g_sample_rate = espeak_ng_GetSampleRate();
        return;
    }
    throw Error("espeak-ng data not found (install espeak-ng-data or set ESPEAK_DATA_PATH): " +
                errors);
}

std::string lower(std::string s) {
    for (char& ch : s) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    return s;
}

// espeak_VOICE::languages: (priority byte, name, NUL) pairs ended by an empty name.
std::string joined_languages(const char* languages) {
    std::string out;
    if (!languages) return out;
    for (const char* p = languages; *p;) {
        const char* name = p + 1;  // skip the priority byte
        if (!out.empty()) out += ",";
        out += name;
        p = name + std::char_traits<char>::length(name) + 1;
    }
    return out;
}

bool is_mbrola(const espeak_VOICE* v) {
    return v->identifier && std::string(v->identifier).rfind("mb/", 0) == 0;
}

// Identifiers of the voices espeak-ng lists for a language, best first, MBROLA voices left
// out. Copied: the library's list is rebuilt by its next listing.
std::vector<std::string> voices_for_locked(const std::string& language) {
    espeak_VOICE selector{};
    selector.languages = language.c_str();
    std::vector<std::string> out;
    const espeak_VOICE** list = espeak_ListVoices(&selector);
    for (int i = 0; list && list[i]; ++i)
        if (!is_mbrola(list[i]) && list[i]->identifier) out.push_back(list[i]->identifier);
    return out;
}

// Selects `voice` as espeak-ng's command line does for `-v`: a voice name or file name
// (optionally with "+variant"), else a language that a voice lists, as `espeak-ng --voices`
// shows it ("en-gb" speaks with gmw/en). Returns the library's status.
espeak_ng_STATUS select_voice_locked(const std::string& voice) {
    espeak_ng_STATUS status = espeak_ng_SetVoiceByName(voice.c_str());
    if (status != ENS_VOICE_NOT_FOUND) return status;

    const std::size_t plus = voice.find('+');
    const std::string language = lower(voice.substr(0, plus));
    const std::string variant = plus == std::string::npos ? "" : voice.substr(plus);
    std::string best;
    int best_priority = 1 << 30;
    const espeak_VOICE** list = espeak_ListVoices(nullptr);
    for (int i = 0; list && list[i]; ++i) {
        const espeak_VOICE* v = list[i];
        if (is_mbrola(v) || !v->languages || !v->identifier) continue;
        for (const char* p = v->languages; *p;) {
            const char* name = p + 1;
            if (lower(name) == language && *p < best_priority) {
                best_priority = *p;
                best = v->identifier;
            }
            p = name + std::char_traits<char>::length(name) + 1;
        }
    }
    if (best.empty()) return ENS_VOICE_NOT_FOUND;
    return espeak_ng_SetVoiceByName((best + variant).c_str());
}

}  // namespace

Speech synthesize(const std::string& utf8_text, const Options& options) {
    if (options.rate != 0 && (options.rate < kMinRate || options.rate > kMaxRate))
        throw std::invalid_argument("espeak-ng rate must be between " + std::to_string(kMinRate) +
                                    " and " + std::to_string(kMaxRate) +
                                    " words per minute, got " + std::to_string(options.rate));
    if (options.pitch != -1 && (options.pitch < 0 || options.pitch > 100))
        throw std::invalid_argument("espeak-ng pitch must be between 0 and 100, got " +
                                    std::to_string(options.pitch));

    // A NUL would end the text early for espeak-ng: speak it as a space (one code point,
    // so the word positions still count into the text as given).
    std::string text = utf8_text;
    std::replace(text.begin(), text.end(), '\0', ' ');

    std::lock_guard<std::mutex> lock(g_mutex);
    initialize_locked();

    Speech speech;
    speech.sample_rate = g_sample_rate;

    if (options.voice.empty() || options.voice.find('\0') != std::string::npos)
        throw UnknownVoice("Unknown espeak-ng voice '" + options.voice + "': " + kListHint);
    espeak_ng_STATUS status = select_voice_locked(options.voice);
    if (status == ENS_VOICE_NOT_FOUND)
        throw UnknownVoice("Unknown espeak-ng voice '" + options.voice + "': " + kListHint);
    if (status != ENS_OK)
        throw Error("espeak-ng could not load voice '" + options.voice +
                    "': " + status_text(status));

    // Parameters are global and survive from one synthesis to the next: set every one.
    espeak_SetParameter(espeakRATE, options.rate == 0 ? espeakRATE_NORMAL : options.rate, 0);
    espeak_SetParameter(espeakPITCH, options.pitch < 0 ? 50 : options.pitch, 0);
    espeak_SetParameter(espeakVOLUME, 100, 0);
    espeak_SetParameter(espeakWORDGAP, 0, 0);
    espeak_SetParameter(espeakPUNCTUATION, espeakPUNCT_NONE, 0);
    espeak_SetParameter(espeakCAPITALS, 0, 0);

    bool blank = std::all_of(text.begin(), text.end(),
                             [](unsigned char ch) { return std::isspace(ch) != 0; });
    if (blank) return speech;

    Collector collector;
    collector.speech = &speech;
    speech.samples.reserve(static_cast<std::size_t>(g_sample_rate) * 4);
    g_collector = &collector;
    espeak_ERROR result = espeak_Synth(text.c_str(), text.size() + 1, 0, POS_CHARACTER, 0,
                                       espeakCHARS_UTF8 | espeakENDPAUSE, nullptr, nullptr);
    g_collector = nullptr;
    if (collector.failed) throw std::bad_alloc();
    if (result != EE_OK)
        throw Error("espeak-ng synthesis failed (error " + std::to_string(result) + ")");

    // Event positions are 1-based code points; `sample` counts the samples produced since
    // the synthesis began. A word is never placed past the last sample.
    speech.words.reserve(collector.words.size());
    const std::size_t last = speech.samples.empty() ? 0 : speech.samples.size() - 1;
    for (const espeak_EVENT& e : collector.words) {
        WordEvent w;
        w.char_start = e.text_position > 0 ? static_cast<std::size_t>(e.text_position - 1) : 0;
        w.char_length = static_cast<std::size_t>(e.length);
        w.sample = std::min(static_cast<std::size_t>(std::max(e.sample, 0)), last);
        speech.words.push_back(w);
    }
    return speech;
}

std::vector<VoiceInfo> list_voices() {
    std::lock_guard<std::mutex> lock(g_mutex);
    initialize_locked();
    std::vector<VoiceInfo> out;
    const espeak_VOICE** list = espeak_ListVoices(nullptr);
    for (int i = 0; list && list[i]; ++i) {
        const espeak_VOICE* v = list[i];
        if (is_mbrola(v)) continue;
        out.push_back({v->name ? v->name : "", v->identifier ? v->identifier : "",
                       joined_languages(v->languages)});
    }
    return out;
}

std::string voice_for_language(const std::string& iso639_1) {
    std::string code = lower(iso639_1);
    std::replace(code.begin(), code.end(), '_', '-');
    const std::string primary = code.substr(0, code.find('-'));
    // A language tag: a primary subtag of two or three letters, then letters, digits, '-'.
    bool tag = primary.size() >= 2 && primary.size() <= 3 &&
               std::all_of(primary.begin(), primary.end(),
                           [](unsigned char ch) { return std::isalpha(ch) != 0; }) &&
               std::all_of(code.begin(), code.end(),
                           [](unsigned char ch) { return std::isalnum(ch) || ch == '-'; });
    if (tag) {
        std::lock_guard<std::mutex> lock(g_mutex);
        initialize_locked();
        // Preferred voices where espeak-ng's own first choice is a regional one.
        if (code == "en") return "en-us";
        // The tag as a voice lists it, else its language without the region.
        for (const std::string& candidate : {code, primary})
            if (select_voice_locked(candidate) == ENS_OK) return candidate;
        std::vector<std::string> voices = voices_for_locked(code);
        if (!voices.empty()) return voices.front();
    }
    throw std::invalid_argument("espeak-ng has no voice for the language '" + iso639_1 + "'");
}

std::string voice_for_request(const std::string& code) {
    try {
        return voice_for_language(code);
    } catch (const std::invalid_argument& e) {
        throw Error(std::string(e.what()) + "; list the valid voices with `espeak-ng --voices` "
                                            "or vestrel.tts.list_espeak_voices()",
                    ErrorKind::Value);
    } catch (const std::exception& e) {
        throw Error(std::string("espeak-ng TTS failed: ") + e.what(), ErrorKind::Value);
    }
}

std::vector<std::string> language_list(std::string_view languages) {
    std::vector<std::string> out;
    while (!languages.empty()) {
        const std::size_t comma = std::min(languages.find(','), languages.size());
        if (comma > 0) out.emplace_back(languages.substr(0, comma));
        languages.remove_prefix(std::min(comma + 1, languages.size()));
    }
    return out;
}

int checked_setting(const Setting& setting, long long value, bool out_of_long,
                    std::string_view shown) {
    if (!out_of_long && value >= setting.low && value <= setting.high)
        return static_cast<int>(value);
    throw Error(std::string(setting.name) + " must be between " + std::to_string(setting.low) +
                    " and " + std::to_string(setting.high) + setting.unit + ", got " +
                    std::string(shown),
                ErrorKind::Value);
}

std::string data_path() {
    std::lock_guard<std::mutex> lock(g_mutex);
    initialize_locked();
    const char* path = nullptr;
    espeak_Info(&path);
    return path ? path : "";
}

}  // namespace vestrel::espeak
