#!/usr/bin/env python3
"""Writes the seed corpus of the fuzz targets into corpus/<target>/ (run from anywhere)."""
import json
import os

HERE = os.path.dirname(os.path.abspath(__file__))


def write(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    if isinstance(data, str):
        data = data.encode("utf-8")
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


# .reg exports
REG = (
    "Windows Registry Editor Version 5.00\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\VideoLAN\\VLC]\r\n"
    "@=\"C:\\\\Program Files\\\\VideoLAN\\\\VLC\\\\vlc.exe\"\r\n"
    "\"InstallDir\"=\"C:\\\\Program Files\\\\VideoLAN\\\\VLC\"\r\n"
    "\"Version\"=\"3.0.18\"\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\DAUM\\PotPlayer64]\r\n"
    "\"ProgramPath\"=\"C:\\\\Program Files\\\\DAUM\\\\PotPlayer\\\\PotPlayerMini64.exe\"\r\n"
)
write("regfile", "utf8.reg", REG)
write("regfile", "utf16.reg", b"\xff\xfe" + REG.encode("utf-16-le"))
write("regfile", "bom-utf8.reg", b"\xef\xbb\xbf" + REG.encode())
write("regfile", "regedit4.reg",
      "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node\\VideoLAN\\VLC]\n"
      "\"InstallDir\"=\"D:\\\\Apps\\\\VLC\\\\\"\n")
write("regfile", "types.reg",
      "Windows Registry Editor Version 5.00\n\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\VideoLAN\\VLC]\n"
      "\"InstallDir\"=hex(2):43,00,3a,00,5c,00,56,00,4c,00,43,00,\\\n  00,00\n"
      "\"Count\"=dword:00000001\n"
      "\"Quoted\"=\"say \\\"hi\\\"\"\n"
      "; a comment\n"
      "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\DAUM]\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\DAUM\\PotPlayer64]\n"
      "\"ProgramPath\"=-\n")
write("regfile", "long.reg",
      "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\VideoLAN\\VLC]\n"
      "\"InstallDir\"=\"" + "\u00e9" * 2302 + "\"\n")
write("regfile", "surrogates.reg",
      b"\xff\xfe" + "Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\VideoLAN\\VLC]\n\"InstallDir\"=\"".encode("utf-16-le")
      + b"\x00\xd8\x41\x00\x3d\xd8\x00\xde" + "\"\n".encode("utf-16-le"))

# Play requests
PLAYS = {
    "readme.json": {"action": "Play", "application": "vlc", "id": 2,
                    "params": {"files": [{"url": "http://nas/a.mkv", "sub-file": "http://nas/a.srt"},
                                         {"url": "http://nas/b.mkv"}],
                               "arguments": [{"fullscreen": True}]}},
    "options.json": {"action": "Play", "application": "vlc",
                     "params": {"files": [{"url": "C:\\media\\a b.mp4"}],
                                "arguments": [{"video-on-top": False}, {"fullscreen": True, "video-on-top": True},
                                              {"fullscreen": "yes"}, 3]}},
    "lines.json": {"action": "Play", "application": "potplayer",
                   "params": {"files": [{"url": "a\r\nb"}, {"url": 5}, {"url": None}, {"sub-file": "x"}, "y",
                                        {"url": "c\u0000d"}, {"url": "\u00e9\U0001F600"}]}},
    "paths.json": {"action": "Play", "application": "vlc",
                   "params": {"files": [{"url": "100% #1 ?a=b&c", "sub-file": "/tmp/a b/c#d.srt"}]}},
    "nofiles.json": {"action": "Play", "application": "vlc", "params": {"arguments": []}},
}
for name, request in PLAYS.items():
    write("play", name, json.dumps(request, ensure_ascii=False))
write("play", "plain.txt", "file:///C:/Users/Public/Mirvale/playlist/090503042.list")


# Assembly: header byte (connection | end << 2), length byte, bytes; or a filler header.
def piece(text, connection=0, end=True):
    data = text.encode("utf-8") if isinstance(text, str) else text
    out = b""
    while True:
        chunk, data = data[:255], data[255:]
        last = not data
        out += bytes([connection | (4 if end and last else 0), len(chunk)]) + chunk
        if last:
            return out


def fragments(text, count, connection=0):
    data = text.encode("utf-8")
    step = max(1, len(data) // count)
    parts = [data[i:i + step] for i in range(0, len(data), step)]
    return b"".join(piece(p, connection, i == len(parts) - 1) for i, p in enumerate(parts))


def filler(connection, end, byte):
    return bytes([0xF8 | connection | (4 if end else 0), 0xF1, ord(byte)])


GETINFO = json.dumps({"action": "Getinfo", "id": 1})
PLAY = json.dumps(PLAYS["readme.json"])
write("assembly", "getinfo", piece(GETINFO))
write("assembly", "play-fragmented", fragments(PLAY, 3))
write("assembly", "interleaved", piece('{"action":', 0, False) + piece(GETINFO, 1) + piece('"Play","params":{"files":[{"url":"x"}]}}', 0))
write("assembly", "across-messages", piece('{"action":"Getinfo",', 2) + piece('"id":[1,{"a":null}]}', 2))
write("assembly", "plain-text", piece("hello", 0) + piece(GETINFO, 0))
write("assembly", "two-documents", piece(GETINFO + GETINFO, 3) + piece(GETINFO, 3))
write("assembly", "nul", piece(GETINFO.encode() + b"\x00garbage", 1))
write("assembly", "unsupported", piece('{"action":"getinfo"}') + piece("[1,2]") + piece('{"action":7}') + piece('{"action":"Play"}'))
write("assembly", "spaces", piece(" \r\n\t" + GETINFO + " \n") + piece("  ") + piece(GETINFO))
write("assembly", "bound", piece('{"action":"Getinfo","id":"', 0, False) + filler(0, False, "a") * 3 + piece('"}', 0) + piece(GETINFO, 0))
write("assembly", "bom", piece(b"\xef\xbb\xbf" + GETINFO.encode()))
write("assembly", "potplayer", piece(json.dumps({"action": "Play", "application": "potplayer", "id": "p",
                                                  "params": {"files": [{"url": "u1"}, {"url": "u2"}]}})))
write("assembly", "below-bound", piece('{"action":"Getinfo","id":"', 1, False) + filler(1, False, "b") * 2 + piece('"}', 1))
write("assembly", "elmedia", piece(json.dumps({"action": "Play", "application": "elmedia", "params": {}})))
# Repeated member names, also behind escapes and in nested objects: refused, never parsed.
write("assembly", "repeated-names", piece('{"action":"Getinfo","id":[1],"\\u0069d":2}') + piece('{"action":"Getinfo","p":{"a":{},"a":[]}}', 1) + piece(GETINFO))
