// ElevenLabsVoiceModule: speech through the ElevenLabs web API, with its character quota.
#include <string>

#include "bindings/common/pyutil.hpp"
#include "bindings/common/values.hpp"
#include "bindings/tts/parts.hpp"
#include "core/elevenlabs.hpp"

namespace vestrel::bind::tts {

namespace {

using namespace elevenlabs;  // the request settings

nb::object requests() { return this_module.attr("requests"); }

bool status_ok(nb::handle response) {
    return response.attr("status_code").equal(nb::int_(200));
}

nb::object init(const Args& a) {
    nb::handle self = a["self"];
    self.attr("api_key") = a["api_key"];
    self.attr("voice_id") = a["voice_id"];
    self.attr("language_code") = a["language_code"];
    self.attr("remaining_credits") = nb::none();

    self.attr("update_usage")();

    nb::handle min_required = a["min_required_chars"];
    if (a.flag("check_credits") && self.attr("get_remaining_characters")() < min_required)
        raise(PyExc_Exception,
              low_quota_message(str(self.attr("remaining_credits")), str(min_required)));
    return nb::none();
}

nb::object update_usage(const Args& a) {
    nb::handle self = a["self"];
    nb::dict headers;
    headers["xi-api-key"] = self.attr("api_key");
    nb::object response = requests().attr("get")(self.attr("SUBSCRIPTION_URL"),
                                                 nb::arg("headers") = headers,
                                                 nb::arg("timeout") = kRequestTimeout);
    if (!status_ok(response))
        raise(PyExc_Exception, "Failed to fetch ElevenLabs usage information");
    nb::object data = response.attr("json")();
    self.attr("remaining_credits") =
        data.attr("get")("character_limit", 0) - data.attr("get")("character_count", 0);
    return self.attr("remaining_credits");
}

nb::object get_remaining_characters(const Args& a) {
    nb::object remaining = a["self"].attr("remaining_credits");
    return remaining.is_none() ? nb::int_(0) : nb::int_(remaining);
}

nb::object generate_voice(const Args& a) {
    nb::handle self = a["self"], text = a["text"], outputfile = a["outputfile"];

    // The quota counts characters (code points); a text exactly as long as it passes, and
    // a longer one is refused before any request.
    nb::int_ length(PyUnicode_GetLength(text.ptr()));
    if (length > self.attr("get_remaining_characters")())
        raise(PyExc_Exception,
              over_quota_message(str(length), str(self.attr("remaining_credits"))));

    std::string url = str(self.attr("TTS_URL")) + "/" + str(self.attr("voice_id"));
    nb::dict headers;
    headers["xi-api-key"] = self.attr("api_key");
    headers["Content-Type"] = "application/json";
    headers["Accept"] = "audio/mpeg";
    nb::dict voice_settings;
    voice_settings["stability"] = kStability;
    voice_settings["similarity_boost"] = kSimilarityBoost;
    nb::dict body;
    body["text"] = text;
    body["model_id"] = kModelId;
    body["voice_settings"] = voice_settings;
    nb::object language_code = self.attr("language_code");
    if (truthy(language_code)) body["language_code"] = language_code;

    nb::object response = requests().attr("post")(
        nb::str(url.c_str()), nb::arg("json") = body, nb::arg("headers") = headers,
        nb::arg("stream") = true,
        nb::arg("timeout") = nb::make_tuple(kSynthesisConnectTimeout, kSynthesisReadTimeout));
    {
        Closing closing_response{response, "closing an ElevenLabs response"};
        if (!status_ok(response))
            raise(PyExc_Exception, "ElevenLabs TTS failed: " + str(response.attr("text")));

        // Streamed to disk as it arrives; the whole audio is never held in memory.
        Closing file{import("builtins").attr("open")(outputfile, "wb"),
                     "closing the ElevenLabs output file"};
        nb::object chunks = response.attr("iter_content")(nb::arg("chunk_size") = kChunkSize);
        for (nb::handle chunk : chunks)
            if (truthy(chunk)) file.obj.attr("write")(chunk);
        file.close();
    }

    self.attr("update_usage")();
    if (!path_exists(outputfile))
        raise(PyExc_Exception, "ElevenLabs TTS failed: output file not created");
    return nb::borrow(outputfile);
}

nb::object get_voices(const Args& a) {
    nb::handle self = a["self"];
    std::string url = str(self.attr("TTS_URL")) + "/voices";
    nb::dict headers;
    headers["accept"] = "application/json";
    nb::object api_key = self.attr("api_key");
    if (truthy(api_key)) headers["xi-api-key"] = api_key;
    nb::object response = requests().attr("get")(nb::str(url.c_str()),
                                                 nb::arg("headers") = headers,
                                                 nb::arg("timeout") = kRequestTimeout);
    nb::object data = response.attr("json")();
    nb::dict voices;
    for (nb::handle voice : data["voices"]) {
        nb::object name = voice["name"];
        voices[name] = voice["voice_id"];
    }
    self.attr("voices") = voices;
    print("Available ElevenLabs voices: " + str(voices));
    return voices;
}

}  // namespace

void register_elevenlabs(nb::module_& m) {
    // The API base is configuration, read once at load.
    const Urls api = urls(
        utf8(import("os").attr("environ").attr("get")("VESTREL_ELEVENLABS_API_URL", "")));
    nb::dict ns;
    ns["SUBSCRIPTION_URL"] = nb::str(api.subscription.c_str());
    ns["TTS_URL"] = nb::str(api.text_to_speech.c_str());
    def_methods(m, ns, "ElevenLabsVoiceModule",
                {{"__init__",
                  {arg("self"), arg("api_key", Kind::Str) | str_type(),
                   arg("voice_id", Kind::Str) | str_type(),
                   opt("check_credits", Kind::Bool, nb::bool_(false)) | bool_type(),
                   opt("min_required_chars", Kind::Int, nb::int_(kMinRequiredChars)) | int_type(),
                   opt_none("language_code", Kind::Str) | optional(str_type())},
                  init},
                 update_usage_fn(update_usage), remaining_characters_fn(get_remaining_characters),
                 generate_voice_fn(generate_voice),
                 {"get_voices", {arg("self")}, get_voices, "Get the list of voices available"}});
    make_class(m, "ElevenLabsVoiceModule", "ElevenLabs TTS implementation.", ns,
               m.attr("VoiceModule"));
}

}  // namespace vestrel::bind::tts
