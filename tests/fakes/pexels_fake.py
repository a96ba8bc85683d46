"""A stand-in for Pexels on a LoopbackServer: the videos API (metadata with an "image"
member), the preview image it points to, and the website's video download path."""

from loopback import Response

IMAGE = b"\xff\xd8\xff\xe0 preview image"
VIDEO = bytes(range(256)) * 400  # 100 KiB, sent in chunks


class PexelsFake:
    def __init__(self, server):
        self.server = server
        self.url = server.url

    def reset(self):
        """Default answers; tests override single routes with `route`."""
        self.server.routes.clear()
        self.server.requests.clear()
        self.route("GET", "/videos/videos/", self._metadata)
        self.route("GET", "/images/", Response(200, IMAGE, {"Content-Type": "image/jpeg"}))
        chunks = [VIDEO[i:i + 16384] for i in range(0, len(VIDEO), 16384)]
        self.route("GET", "/download/video/",
                   lambda req: Response(200, b"", {"Content-Type": "video/mp4"}, chunks=chunks))
        return self

    def route(self, method, prefix, handler):
        self.server.route(method, prefix, handler)

    def _metadata(self, req):
        video_id = req.path.rsplit("/", 1)[-1]
        return Response(200, {"id": video_id, "image": f"{self.url}/images/{video_id}.jpg"})

    @property
    def requests(self):
        return self.server.requests

    def paths(self):
        return [r.path for r in self.server.requests]
