// The Resolve-like objects of the simulator. Each wraps a core object; the same core object
// always comes back as the same Python object while that one is alive, and two wrappers of
// one core object compare equal.
#include <algorithm>
#include <map>
#include <set>

#include <nanobind/stl/shared_ptr.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include "bindings/common/pyutil.hpp"
#include "bindings/common/values.hpp"
#include "bindings/resolve_sim/parts.hpp"
#include "core/probe.hpp"
#include "core/render_queue.hpp"

namespace vestrel::bind::resolve_sim {

namespace {

using namespace vestrel::resolve_sim;

// The Python lists of a timeline's tracks, kept in step with the tracks. A script asks for a
// whole track after every placement (to find the item just placed), so building the list
// anew each time (a wrapper per item) would make filling a track of n items cost O(n^2)
// wrapper creations; with the kept list only the new items are wrapped and the answer is a
// copy of the kept list.
struct TrackListCache {
    struct Entry {
        std::vector<const TimelineItem*> items;  // what `list` holds, in order
        nb::list list;
    };
    std::map<std::pair<int, int64_t>, Entry> tracks;

    TrackListCache() { live().insert(this); }
    ~TrackListCache() {
        live().erase(this);
        // Timelines may outlive the interpreter (process exit): then the lists are left.
        if (!Py_IsInitialized() || !PyGILState_Check())
            for (auto& [key, e] : tracks) e.list.release();
    }
    // Every cache alive; emptied when the interpreter exits, so that the wrappers the lists
    // hold are released while it still runs (timelines held by the project manager live on).
    static std::set<TrackListCache*>& live() {
        static std::set<TrackListCache*> caches;
        return caches;
    }
};

nb::list item_list(Timeline& t, TrackType type, int64_t index, const core::Track& track) {
    static const bool cleared_at_exit = [] {
        nb::module_::import_("atexit").attr("register")(nb::cpp_function([] {
            for (TrackListCache* c : TrackListCache::live()) c->tracks.clear();
        }));
        return true;
    }();
    (void)cleared_at_exit;
    auto cache = std::static_pointer_cast<TrackListCache>(t.scripting_cache);
    if (!cache) t.scripting_cache = cache = std::make_shared<TrackListCache>();
    TrackListCache::Entry& e = cache->tracks[{static_cast<int>(type), index}];
    // Items only ever come in (in time order): keep the common prefix, wrap the rest.
    size_t same = 0;
    while (same < e.items.size() && same < track.size() && e.items[same] == track[same].get())
        ++same;
    if (same < e.items.size() || same < track.size()) {
        if (PyList_SetSlice(e.list.ptr(), static_cast<Py_ssize_t>(same), PY_SSIZE_T_MAX,
                            nullptr) != 0)
            throw nb::python_error();
        e.items.resize(same);
        for (size_t i = same; i < track.size(); ++i) {
            e.list.append(nb::cast(track[i]));
            e.items.push_back(track[i].get());
        }
    }
    PyObject* copy = PyList_GetSlice(e.list.ptr(), 0, PY_SSIZE_T_MAX);
    if (!copy) throw nb::python_error();
    return nb::steal<nb::list>(copy);
}

template <typename T>
void identity(nb::class_<T>& cls) {
    cls.def("__eq__", [](nb::handle self, nb::handle other) {
        return nb::isinstance<T>(other) && nb::inst_ptr<T>(self) == nb::inst_ptr<T>(other);
    });
    cls.def("__hash__", [](nb::handle self) {
        return static_cast<Py_ssize_t>(reinterpret_cast<uintptr_t>(nb::inst_ptr<T>(self)) >> 4);
    });
}

// The element `i` (counted from 1) of a list, or nullptr.
template <typename T>
std::shared_ptr<T> at_index(const std::vector<std::shared_ptr<T>>& list, int64_t i) {
    if (i < 1 || i > static_cast<int64_t>(list.size())) return nullptr;
    return list[static_cast<size_t>(i - 1)];
}

template <typename T>
std::vector<std::string> names_of(const std::vector<std::shared_ptr<T>>& list) {
    std::vector<std::string> names;
    for (const auto& x : list) names.push_back(x->name);
    return names;
}

std::shared_ptr<Project> owner(const MediaPool& pool) {
    auto p = pool.project.lock();
    if (!p) raise(PyExc_RuntimeError, "the project of this media pool no longer exists");
    return p;
}

bool file_exists(const std::string& path) {
    return nb::cast<bool>(import("os").attr("path").attr("isfile")(path));
}

nb::object value_of(const core::Value& v) {
    if (const double* d = std::get_if<double>(&v)) return nb::float_(*d);
    return nb::str(std::get<std::string>(v).c_str());
}

// An integer field of a placement record (Resolve takes whole frames; numbers are truncated).
std::optional<int64_t> frame_field(nb::handle record, const char* key) {
    PyObject* v = PyDict_GetItemString(record.ptr(), key);
    if (!v || v == Py_None) return std::nullopt;
    nb::object i = nb::steal(PyNumber_Long(v));
    if (!i.is_valid()) throw nb::python_error();
    return nb::cast<int64_t>(i);
}

// A frame position as Resolve answers it: whole frames, or a float when sub-frame
// precision is asked for (the simulator places on whole frames only).
nb::object frame_value(int64_t frames, nb::handle subframe_precision) {
    if (truthy(subframe_precision)) return nb::float_(static_cast<double>(frames));
    return nb::int_(frames);
}

}  // namespace

void register_objects(nb::module_& m) {
    // ---- scripting object -----------------------------------------------------------
    nb::class_<App> app(m, "Resolve", "The scripting object of a simulated Resolve.");
    app.def(nb::init<>())
        .def("GetProjectManager", [](App& a) { return a.pm; })
        .def("GetProductName", [](App&) { return "DaVinci Resolve"; })
        .def("GetVersionString", [](App&) { return "19.0.0 (simulated)"; })
        .def(
            "SetSimulatedRenderPolls",
            [](App& a, int polls) { render::set_simulated_render(*a.pm, polls < 0 ? 0 : polls); },
            nb::arg("polls"),
            "Started render jobs write no file from now on: IsRenderingInProgress reports them "
            "as running for this many answers (0: the queue is done at the first question).");
    identity(app);

    // ---- project manager ------------------------------------------------------------
    nb::class_<ProjectManager> pm(m, "ProjectManager");
    pm.def("GetCurrentProject", [](ProjectManager& p) { return p.current; })
        .def("CreateProject", [](ProjectManager& p, const std::string& name,
                                 nb::handle) { return p.create_project(name); },
             nb::arg("name"), nb::arg("mediaLocationPath") = nb::none())
        .def("LoadProject", &ProjectManager::load_project)
        .def("CloseProject", [](ProjectManager& p, nb::handle project) {
            if (!nb::isinstance<Project>(project)) return false;
            return p.close_project(nb::cast<std::shared_ptr<Project>>(project));
        })
        .def("DeleteProject", &ProjectManager::delete_project)
        .def(
            "ImportProject",
            [](ProjectManager& p, const std::string& path, nb::handle name) {
                auto t = read_template(path);
                if (!t) return false;
                const std::string project_name =
                    name.is_none() ? core::file_stem(path) : nb::cast<std::string>(name);
                return p.import_project(*t, project_name);
            },
            nb::arg("filePath"), nb::arg("projectName") = nb::none())
        .def("SaveProject", [](ProjectManager& p) { return p.current != nullptr; })
        .def("GetProjectListInCurrentFolder",
             [](ProjectManager& p) { return names_of(p.projects); })
        .def("GetCurrentFolder", [](ProjectManager&) { return ""; });
    identity(pm);

    // ---- project --------------------------------------------------------------------
    nb::class_<Project> project(m, "Project");
    project.def("GetName", [](Project& p) { return p.name; })
        .def("GetMediaPool", [](Project& p) { return p.media_pool; })
        .def("GetTimelineCount", [](Project& p) { return p.timelines.size(); })
        .def("GetTimelineByIndex", [](Project& p, int64_t i) { return at_index(p.timelines, i); })
        .def("GetCurrentTimeline", [](Project& p) { return p.current_timeline; })
        .def("SetCurrentTimeline", [](Project& p, nb::handle tl) {
            if (!nb::isinstance<Timeline>(tl)) return false;
            auto t = nb::cast<std::shared_ptr<Timeline>>(tl);
            if (std::find(p.timelines.begin(), p.timelines.end(), t) == p.timelines.end())
                return false;
            p.current_timeline = t;
            return true;
        })
        .def(
            "GetSetting",
            [](Project& p, const std::string& name) -> nb::object {
                if (name.empty()) return dict_of(p.settings);
                return nb::str(p.setting(name).value_or("").c_str());
            },
            nb::arg("settingName") = "")
        .def("SetSetting", [](Project& p, const std::string& name, nb::handle value) {
            return p.change_setting(name, str(value));
        })
        .def("__repr__", [](Project& p) { return "<Project '" + p.name + "'>"; });
    register_render(project);
    identity(project);

    // ---- media pool -----------------------------------------------------------------
    nb::class_<MediaPool> pool(m, "MediaPool");
    pool.def("GetRootFolder", [](MediaPool& mp) { return mp.root; })
        .def("GetCurrentFolder", [](MediaPool& mp) { return mp.root; })
        .def("ImportMedia", [](MediaPool& mp, nb::handle items) {
            auto p = owner(mp);
            std::vector<std::shared_ptr<Clip>> clips;
            if (!PyList_Check(items.ptr())) return clips;
            for (nb::handle item : items) {
                if (!PyUnicode_Check(item.ptr())) continue;
                const std::string path = utf8(item);
                if (!file_exists(path)) continue;
                std::optional<core::MediaInfo> info;
                {
                    nb::gil_scoped_release release;
                    info = probe::probe_media(path);
                }
                if (!info) continue;
                if (auto c = p->import_media(path, core::file_name_of(path), *info))
                    clips.push_back(c);
            }
            return clips;
        })
        .def("CreateEmptyTimeline", [](MediaPool& mp, const std::string& name) {
            auto p = owner(mp);
            auto t = p->create_timeline(name);
            if (t) p->current_timeline = t;
            return t;
        })
        .def(
            "ImportTimelineFromFile",
            [](MediaPool& mp, const std::string& path,
               nb::handle options) -> std::shared_ptr<Timeline> {
                auto p = owner(mp);
                if (!file_exists(path)) return nullptr;
                std::string name = core::file_stem(path);
                if (PyDict_Check(options.ptr())) {
                    PyObject* n = PyDict_GetItemString(options.ptr(), "timelineName");
                    if (n && PyUnicode_Check(n)) name = utf8(n);
                }
                auto t = p->create_timeline(name);
                if (t && !p->current_timeline) p->current_timeline = t;
                return t;
            },
            nb::arg("filePath"), nb::arg("importOptions") = nb::none())
        .def("AppendToTimeline", [](MediaPool& mp, nb::handle items) {
            auto p = owner(mp);
            std::vector<core::PlacementRequest> reqs;
            if (PyList_Check(items.ptr())) {
                for (nb::handle item : items) {
                    core::PlacementRequest r;
                    if (nb::isinstance<Clip>(item)) {
                        r.clip = nb::cast<std::shared_ptr<Clip>>(item);
                    } else if (PyDict_Check(item.ptr())) {
                        PyObject* c = PyDict_GetItemString(item.ptr(), "mediaPoolItem");
                        if (!c || !nb::isinstance<Clip>(nb::handle(c))) continue;
                        r.clip = nb::cast<std::shared_ptr<Clip>>(nb::handle(c));
                        for (auto [key, field] :
                             {std::pair{"startFrame", &r.start_frame}, {"endFrame", &r.end_frame},
                              {"recordFrame", &r.record_frame}, {"trackIndex", &r.track_index},
                              {"mediaType", &r.media_type}})
                            *field = frame_field(item, key);
                    } else {
                        continue;
                    }
                    reqs.push_back(std::move(r));
                }
            }
            return p->append(reqs);
        });
    identity(pool);

    nb::class_<Folder> folder(m, "Folder");
    folder.def("GetClipList", [](Folder& f) { return f.clips; })
        .def("GetName", [](Folder& f) { return f.name; })
        .def("GetSubFolderList", [](Folder&) { return nb::list(); });
    identity(folder);

    // ---- media-pool clip ------------------------------------------------------------
    nb::class_<Clip> clip(m, "MediaPoolItem");
    clip.def("GetName", [](Clip& c) { return c.name; })
        .def(
            "GetClipProperty",
            [](Clip& c, nb::handle key) -> nb::object {
                if (key.is_none()) return dict_of(c.properties());
                return nb::str(c.property(str(key)).value_or("").c_str());
            },
            nb::arg("propertyName") = nb::none())
        .def("SetClipProperty", [](Clip& c, const std::string& key, nb::handle value) {
            return c.set_property(key, str(value));
        })
        .def("__repr__", [](Clip& c) { return "<MediaPoolItem '" + c.name + "'>"; });
    identity(clip);

    // ---- timeline -------------------------------------------------------------------
    nb::class_<Timeline> timeline(m, "Timeline");
    timeline.def("GetName", [](Timeline& t) { return t.name; })
        .def(
            "GetSetting",
            [](Timeline& t, const std::string& name) -> nb::object {
                if (name.empty()) return dict_of(t.settings());
                for (const auto& [k, v] : t.settings())
                    if (k == name) return nb::str(v.c_str());
                return nb::str("");
            },
            nb::arg("settingName") = "")
        .def("SetSetting", [](Timeline& t, const std::string& name, nb::handle value) {
            return t.set_setting(name, str(value));
        })
        .def("GetStartFrame", [](Timeline& t) { return t.start_frame; })
        .def("GetEndFrame", [](Timeline& t) { return t.end_frame(); })
        .def("GetStartTimecode", [](Timeline&) { return "01:00:00:00"; })
        .def("GetTrackCount", [](Timeline& t, const std::string& type) {
            auto tt = core::track_type_of(type);
            return tt ? t.track_count(*tt) : 0;
        })
        .def(
            "AddTrack",
            [](Timeline& t, const std::string& type, nb::handle) {
                auto tt = core::track_type_of(type);
                if (!tt) return false;
                t.add_track(*tt);
                return true;
            },
            nb::arg("trackType"), nb::arg("subTrackType") = nb::none())
        .def("GetItemListInTrack", [](Timeline& t, const std::string& type, int64_t index) {
            auto tt = core::track_type_of(type);
            const core::Track* tr = tt ? t.track(*tt, index) : nullptr;
            if (!tr) return nb::list();
            return item_list(t, *tt, index, *tr);
        })
        .def("__repr__", [](Timeline& t) { return "<Timeline '" + t.name + "'>"; });
    identity(timeline);

    // ---- timeline item --------------------------------------------------------------
    nb::class_<TimelineItem> item(m, "TimelineItem");
    item.def("GetName", [](TimelineItem& i) { return i.name; })
        .def("GetStart", [](TimelineItem& i, nb::handle sub) { return frame_value(i.start, sub); },
             nb::arg("subframe_precision") = nb::none())
        .def("GetEnd", [](TimelineItem& i, nb::handle sub) { return frame_value(i.end(), sub); },
             nb::arg("subframe_precision") = nb::none())
        .def("GetDuration",
             [](TimelineItem& i, nb::handle sub) { return frame_value(i.duration, sub); },
             nb::arg("subframe_precision") = nb::none())
        .def("GetLeftOffset",
             [](TimelineItem& i, nb::handle sub) { return frame_value(i.left_offset, sub); },
             nb::arg("subframe_precision") = nb::none())
        .def("GetMediaPoolItem", [](TimelineItem& i) { return i.clip; })
        .def("GetTrackTypeAndIndex", [](TimelineItem& i) {
            return nb::make_tuple(i.track_type == TrackType::Video ? "video" : "audio",
                                  i.track_index);
        })
        .def("GetFusionCompCount", [](TimelineItem& i) { return i.comps.size(); })
        .def("GetFusionCompByIndex",
             [](TimelineItem& i, int64_t n) { return at_index(i.comps, n); })
        .def("GetFusionCompNameList", [](TimelineItem& i) { return names_of(i.comps); })
        .def("ImportFusionComp",
             [](TimelineItem& i, const std::string& path) -> std::shared_ptr<Comp> {
                 if (i.track_type != TrackType::Video || !file_exists(path)) return nullptr;
                 return i.add_comp();
             })
        .def("__repr__", [](TimelineItem& i) {
            return "<TimelineItem '" + i.name + "' " + std::to_string(i.start) + "-" +
                   std::to_string(i.end()) + ">";
        });
    identity(item);

    // ---- Fusion ---------------------------------------------------------------------
    nb::class_<Comp> comp(m, "FusionComp");
    comp.def("FindTool", [](Comp& c, const std::string& name) { return c.find_tool(name); })
        .def(
            "GetToolList",
            [](Comp& c, nb::handle, nb::handle) {
                nb::dict d;
                int n = 1;
                for (const auto& t : c.tools) d[nb::int_(n++)] = nb::cast(t);
                return d;
            },
            nb::arg("selected") = false, nb::arg("type") = nb::none())
        .def("GetAttrs", [](Comp& c) {
            nb::dict d;
            d["COMPS_Name"] = c.name;
            return d;
        });
    identity(comp);

    nb::class_<Tool> tool(m, "FusionTool");
    tool.def("GetAttrs", [](Tool& t) {
            nb::dict d;
            d["TOOLS_Name"] = t.name;
            d["TOOLS_RegID"] = t.reg_id;
            return d;
        })
        .def(
            "SetInput",
            [](Tool& t, const std::string& name, nb::handle value, nb::handle) {
                if (PyUnicode_Check(value.ptr())) {
                    t.set_input(name, utf8(value));
                } else {
                    nb::object f = nb::steal(PyNumber_Float(value.ptr()));
                    if (!f.is_valid()) {
                        PyErr_Clear();
                        raise(PyExc_TypeError, "input '" + name + "' takes a number or a text");
                    }
                    t.set_input(name, PyFloat_AsDouble(f.ptr()));
                }
            },
            nb::arg("name"), nb::arg("value"), nb::arg("time") = nb::none())
        .def(
            "GetInput",
            [](Tool& t, const std::string& name, nb::handle) -> nb::object {
                const core::Value* v = t.input(name);
                return v ? value_of(*v) : nb::none();
            },
            nb::arg("name"), nb::arg("time") = nb::none())
        .def("__repr__", [](Tool& t) { return "<FusionTool '" + t.name + "'>"; });
    identity(tool);
}

}  // namespace vestrel::bind::resolve_sim
