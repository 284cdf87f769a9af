"""The pure-Python baseline: a threaded reader of the same design as ParallVideoCapture.

One daemon thread reads with cv2, paces to 1/fps measured from the previous publication,
and publishes the frame and its number under a threading.Lock, then sets an Event. Like
the capture it keeps (read started, read finished, published) for recent publications,
measured with time.monotonic().
"""
import threading
import time

import cv2


class PythonThreadedReader:
    def __init__(self, video_path, auto_reload=True):
        self.video_path = video_path
        self.auto_reload = auto_reload
        self.cap = None
        self.frame = None
        self.current_frame_number = 0
        self.running = False
        self.lock = threading.Lock()
        self.frame_ready = threading.Event()
        self.fps = 0
        self.thread = None
        self.timings = []

    def start(self):
        self.cap = cv2.VideoCapture(self.video_path)
        if not self.cap.isOpened():
            return False
        self.fps = self.cap.get(cv2.CAP_PROP_FPS)
        self.running = True
        self.thread = threading.Thread(target=self._capture_loop, daemon=True)
        self.thread.start()
        return True

    def stop(self):
        self.running = False
        if self.thread is not None:
            self.thread.join(timeout=1.0)
        if self.cap is not None:
            self.cap.release()
            self.cap = None

    def _capture_loop(self):
        interval = 1.0 / self.fps if self.fps > 0 else 0.033
        last = 0.0
        while self.running:
            elapsed = time.monotonic() - last
            if elapsed < interval:
                time.sleep(max(0.0, interval - elapsed))
            started = time.monotonic()
            ret, frame = self.cap.read()
            finished = time.monotonic()
            if not ret:
                if not self.auto_reload:
                    self.running = False
                    return
                self.cap.release()
                self.cap = cv2.VideoCapture(self.video_path)
                self.current_frame_number = 0
                continue
            with self.lock:
                self.frame = frame
                self.current_frame_number += 1
                last = time.monotonic()
                self.frame_ready.set()
            self.timings.append((started, finished, last))
            if len(self.timings) > 1024:
                del self.timings[:-1024]

    def get_frame(self):
        with self.lock:
            return None if self.frame is None else self.frame.copy()

    def _publication_timings(self):
        return list(self.timings)
