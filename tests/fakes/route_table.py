"""The router's 18 routes in registration order: (method, path, function name)."""

ROUTE_TABLE = [
    ("POST", "/project/create", "create_project"),
    ("POST", "/project/open", "open_project"),
    ("POST", "/project/delete_current", "delete_current_project"),
    ("POST", "/media/import_clip", "import_clip"),
    ("POST", "/timeline/add_clip", "timeline_add_clip"),
    ("POST", "/tts/generate", "tts_generate"),
    ("GET", "/media/background-videos", "list_background_videos"),
    ("POST", "/media/background-videos", "add_background_video_url"),
    ("POST", "/media/background-videos/upload", "add_background_video_upload"),
    ("DELETE", "/media/background-videos/{asset_id}", "delete_background_video"),
    ("GET", "/media/background-music", "list_background_music"),
    ("POST", "/media/background-music/upload", "add_background_music_upload"),
    ("DELETE", "/media/background-music/{asset_id}", "delete_background_music"),
    ("GET", "/media/{filename}", "get_media"),
    ("POST", "/templates/upload", "upload_template"),
    ("GET", "/templates/list", "list_templates"),
    ("GET", "/brevano/status", "brevano_status"),
    ("POST", "/brevano/generate", "brevano_generate"),
]
