"""The media library's catalogue operations written plainly in Python, one step after
another as the library defines them: the baseline that bench_media measures the system against."""

import json
import os
import tempfile
import uuid
from pathlib import Path


class Library:
    def __init__(self, data_dir, cache_dir, lock=None):
        self.cache = Path(cache_dir)
        self.db_path = Path(data_dir) / "db.json"
        self.lock = lock

    def load(self):
        if not self.db_path.exists():
            return {"version": 1, "background_videos": [], "background_music": []}
        return json.loads(self.db_path.read_text(encoding="utf-8"))

    def save(self, db):
        fd, tmp = tempfile.mkstemp(dir=self.db_path.parent, prefix=self.db_path.name,
                                   suffix=".tmp")
        try:
            with os.fdopen(fd, "w", encoding="utf-8") as f:
                json.dump(db, f, indent=2)
                f.flush()
                os.fsync(f.fileno())
            os.replace(tmp, self.db_path)
        finally:
            if os.path.exists(tmp):
                os.unlink(tmp)

    def list_background_videos(self):
        out = []
        for e in self.load()["background_videos"]:
            vid = e["id"]
            out.append({"id": vid, "title": e["title"], "thumbnail": f"/media/{vid}_thumb.jpg",
                        "downloaded": (self.cache / f"{vid}.mp4").exists(),
                        "source": e["source"]})
        return out

    def resolve_background_video(self, asset_id):
        entry = next((e for e in self.load()["background_videos"] if e["id"] == asset_id), None)
        if entry is None:
            raise KeyError(f"Background video {asset_id} not found")
        path = self.cache / f"{asset_id}.mp4"
        if entry["source"] == "url" and not path.exists():
            raise RuntimeError("download not part of this benchmark")
        return str(path)

    def add_background_music_upload(self, title, file, filename):
        if not title.strip():
            raise ValueError("Title is required")
        asset = f"music_{uuid.uuid4().hex[:8]}"
        ext = Path(filename).suffix.lower() or ".mp3"
        with open(self.cache / f"{asset}{ext}", "wb") as out:
            out.write(file.read())

        def update():
            db = self.load()
            db["background_music"].append({"id": asset, "title": title, "source": "upload",
                                           "url": None})
            self.save(db)

        if self.lock is None:
            update()
        else:
            with self.lock:
                update()
        return {"id": asset, "title": title, "downloaded": True}
