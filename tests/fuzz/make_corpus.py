#!/usr/bin/env python3
# Writes the seed corpora of the fuzz targets into corpus/<target>/; the
# files are committed, this script says how they were made.
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))

# blob and blobmsg encoding
def pad4(b):
    return b + b"\0" * (-len(b) % 4)

def blob(id_, payload, extended=False):
    head = (0x80000000 if extended else 0) | (id_ << 24) | (len(payload) + 4)
    return pad4(struct.pack(">I", head) + payload)

ARRAY, TABLE, STRING, INT64, INT32, INT16, INT8 = 1, 2, 3, 4, 5, 6, 7

def bm(type_, name, value):
    n = name.encode()
    hdr = pad4(struct.pack(">H", len(n)) + n + b"\0")
    return blob(type_, hdr + value, extended=True)

def s(name, text):
    return bm(STRING, name, text.encode() + b"\0")

def i32(name, v):
    return bm(INT32, name, struct.pack(">i", v))

def table(name, *attrs):
    return bm(TABLE, name, b"".join(attrs))

def array(name, *attrs):
    return bm(ARRAY, name, b"".join(attrs))

# bus messages
HELLO, STATUS, DATA, PING, LOOKUP, INVOKE, ADD_OBJECT, REMOVE_OBJECT = 0, 1, 2, 3, 4, 5, 6, 7
A_STATUS, A_OBJPATH, A_OBJID, A_METHOD, A_OBJTYPE, A_SIGNATURE, A_DATA = 1, 2, 3, 4, 5, 6, 7
A_NO_REPLY = 10

def u32(id_, v):
    return blob(id_, struct.pack(">I", v))

def u8(id_, v):
    return blob(id_, bytes([v]))

def string(id_, text):
    return blob(id_, text.encode() + b"\0")

def msg(type_, seq, peer, *attrs):
    return struct.pack(">BBHI", 0, type_, seq, peer) + blob(0, b"".join(attrs))

def write(target, name, data):
    d = os.path.join(HERE, "corpus", target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), "wb") as f:
        f.write(data)

# Method indexes of fuzz_blobmsg_policy: the distinct methods of the router,
# Wi-Fi AP, RE and LAN AP tables in that order.
TEST, NOTICE, ACCESS, WHC_SYNC, WHC_QUIRE, BIND, SMART_SYNC, COMMON_SET = range(8)

WHC_SYNC_FIELDS = ["ssid", "pswd", "ch_2g", "timezone"]

def blobmsg_policy():
    t = "blobmsg_policy"
    write(t, "test", bytes([TEST]) + s("hello", "abc"))
    write(t, "notice", bytes([NOTICE]) + s("ssid", "SG9tZQ==") + s("passwd", "c2VjcmV0MTI="))
    write(t, "access", bytes([ACCESS]) + i32("policy", 1) +
          s("list", "02:00:00:00:00:01;02:00:00:00:00:02") + i32("level", 1) + i32("auth", 0))
    write(t, "access_nested", bytes([ACCESS]) +
          table("policy", i32("x", 1), s("y", "z")) + array("list", s("", "a"), i32("", 2)) +
          i32("policy", 2) + s("list", "short") + s("list", "second") + bm(INT8, "auth", b"\1"))
    write(t, "whc_sync", bytes([WHC_SYNC]) + b"".join(s(n, "v" + n) for n in WHC_SYNC_FIELDS) +
          table("ssid", s("ssid", "inner")))
    write(t, "whc_quire", bytes([WHC_QUIRE]) + s("cap_devid", "CAP0001") + s("webpasswd", "admin123"))
    write(t, "bind", bytes([BIND]) + s("record", "r1") + s("deviceID", "D1") + s("sign", "S1"))
    write(t, "common_set", bytes([COMMON_SET]) + s("action", "status") + s("action", "again"))
    write(t, "cut", bytes([ACCESS]) + (i32("policy", 1) + s("list", "abc"))[:-3])

def libubus_stream():
    t = "libubus_stream"
    args = s("ssid", "Home") + s("pswd", "secret12") + s("ch_2g", "6")
    call = msg(INVOKE, 7, 0x1234, u32(A_OBJID, 0x100), string(A_METHOD, "whc_sync"), blob(A_DATA, args))
    access = msg(INVOKE, 8, 0x1234, u32(A_OBJID, 0x100), string(A_METHOD, "access"),
                 blob(A_DATA, i32("policy", 1) + s("list", "02:00:00:00:00:01") +
                      table("level", i32("x", 1)) + array("auth", i32("", 1))))
    write(t, "invoke_whole", b"\0" + call + access)
    write(t, "invoke_chunks", b"\x05" + call + access + call)
    write(t, "invoke_bytes", b"\x01" + call)
    write(t, "invoke_other", b"\x20" + msg(INVOKE, 9, 0x1234, u32(A_OBJID, 0x100),
                                           string(A_METHOD, "nothing"), u8(A_NO_REPLY, 1)) +
          msg(INVOKE, 10, 0x1234, u32(A_OBJID, 0x999), string(A_METHOD, "bind")) +
          msg(INVOKE, 11, 0x1234, u32(A_OBJID, 0x100), string(A_METHOD, "bind")))
    reply = msg(DATA, 2, 0x200, u32(A_OBJID, 0x200), blob(A_DATA, s("return", "success") + i32("n", 3)))
    status = msg(STATUS, 2, 0x200, u32(A_OBJID, 0x200), u32(A_STATUS, 0))
    write(t, "sync_reply", b"\x80" + reply + status)
    write(t, "sync_call_meanwhile", b"\x80" + call + reply + status)
    write(t, "garbage", b"\x03" + call[:13] + b"\xff" * 12)

def record(client, data):
    return bytes([client]) + struct.pack(">H", len(data)) + data

def vimbd_stream():
    t = "vimbd_stream"
    sig = blob(A_SIGNATURE, table("whc_sync", i32("ssid", STRING), i32("pswd", STRING)) +
               table("access", i32("policy", INT32), i32("list", STRING)))
    add = msg(ADD_OBJECT, 1, 0, string(A_OBJPATH, "192.0.2.2-@kestrad"), sig)
    # vimbd numbers ids from 4: clients 4 and 5 (6 the monitor when present).
    obj = 6  # type 6 and object 7 with two clients; 7 and 8 with the monitor
    for first, type_id in ((0, 6), (1, 7)):
        obj = type_id + 1
        invoke = msg(INVOKE, 3, obj, u32(A_OBJID, obj), string(A_METHOD, "whc_sync"),
                     blob(A_DATA, s("ssid", "Home")))
        reply = msg(DATA, 3, 5, u32(A_OBJID, obj), blob(A_DATA, s("return", "success")))
        status = msg(STATUS, 3, 5, u32(A_OBJID, obj), u32(A_STATUS, 0))
        name = "call" if first == 0 else "call_monitored"
        write(t, name, bytes([first]) + record(0, add) + record(1, invoke) + record(0, reply + status))
    write(t, "cut_messages", b"\x01" + record(0, add[:5]) + record(0, add[5:20]) + record(0, add[20:]) +
          record(1, msg(LOOKUP, 2, 0, string(A_OBJPATH, "192.0.2.2-*"))) +
          record(1, msg(PING, 4, 0, s("x", "y"))))
    write(t, "remove_and_lookup", b"\0" + record(0, add) + record(0, msg(REMOVE_OBJECT, 2, 0, u32(A_OBJID, 7))) +
          record(1, msg(LOOKUP, 5, 0)) + record(1, msg(9, 6, 0)))
    write(t, "monitor_calls", b"\x01" + record(0, msg(INVOKE, 1, 3, u32(A_OBJID, 3), string(A_METHOD, "add"))) +
          record(0, msg(INVOKE, 2, 3, u32(A_OBJID, 3), string(A_METHOD, "remove"))) +
          record(1, msg(INVOKE, 3, 3, u32(A_OBJID, 3), string(A_METHOD, "other"))))
    write(t, "bad_header", b"\0" + record(0, add) + record(1, b"\1" + add[1:]))

def uci_roundtrip():
    t = "uci_roundtrip"
    write(t, "wireless", b"""
config wifi-device 'wifi0'
\toption channel '6'

config wifi-iface 'lan_2g'
\toption ifname 'wl01'
\toption network 'lan'
\toption mode 'ap'
\toption macfilter 'allow'
\tlist maclist '02:00:00:00:00:01'
\tlist maclist '02:00:00:00:00:02'

config wifi-iface
\toption ifname 'wl11'
""")
    write(t, "quoting", b"config a 'b'\n\toption c \"d'e\"\n\toption f 'g\\\\h'\n\tlist i ''\n\toption j \"multi\nline\"\n"
          b"config a\n\toption k unquoted # comment\n")
    write(t, "package_line", b"package marovela\n\nconfig marovela 'main'\n\toption mode 're'\n")
    write(t, "odd", b"config t-y_pe\n\toption x 'a'\n\tlist x 'b'\n\toption x 'c'\n")
    write(t, "tabs_crlf", b"config\tsec\t'n'\r\n\toption\to\t'v'\r\n")
    # Found against the device's parser: where a word too many is told, a
    # package line's name, a NUL in a refused line.
    write(t, "crlf_word_too_many", b"config\tsec\tgn\t'n'\r\n\toptio?n\tconfig\tsec\t'n\t'n'\r\n")
    write(t, "package_name", b"package marovela=\n\nconfig \xdcmarovela 'main'\n\toption mode 're'\n")
    write(t, "quoted_last_word", b"config t-y_peconfig ca 'bo'")
    write(t, "nul_refused", b"confi- t\0\0\0\0-y_pe\n\toption \0\0\0x 'a'\n\tlist x 'b'\n")

def base64_corpus():
    t = "base64"
    write(t, "plain", b"\x7fSG9tZQ==")
    write(t, "two_pads", b"\x7fc2VjcmV0MTI=")
    write(t, "tight", b"\x03YWJj")
    write(t, "too_small", b"\x02YWJj")
    write(t, "bad", b"\x7fSG9t ZQ==")
    write(t, "empty", b"\x7f")
    write(t, "zeros", b"\x7fAAAA")

def route_line():
    t = "route_line"
    write(t, "header", b"Destination     Gateway         Genmask         Flags Metric Ref    Use Iface\n")
    write(t, "default", b"0.0.0.0         192.0.2.1       0.0.0.0         UG    0      0        0 br-lan\n")
    write(t, "subnet", b"192.0.2.0       0.0.0.0         255.255.255.0   U     0      0        0 br-lan\n")
    write(t, "long_gw", b"0.0.0.0 1234567890123456789012345 0.0.0.0 UG 0 0 0 x\n")
    write(t, "title", b"Kernel IP routing table\n")

def maclist():
    t = "maclist"
    m1, m2 = "02:00:00:00:00:01", "02:00:00:00:00:02"
    write(t, "two_allow", b"\x01" + f"{m1};{m2}".encode())
    write(t, "deny_existing", bytes([2 | 1 << 2]) + f"{m2};{m1};{m1}".encode())
    write(t, "short", bytes([1 | 2 << 2]) + b"ab;cd")
    write(t, "empty_pieces", bytes([2 | 1 << 2]) + f";{m1};;".encode())
    write(t, "no_lan_ap", bytes([1 | 3 << 2]) + f"{m1}".encode())
    write(t, "quotes", b"\x02" + b"it's \"quoted\"\\ ; and\nnewline;x")
    write(t, "one_char", b"\x01" + b"x")

if __name__ == "__main__":
    blobmsg_policy()
    libubus_stream()
    vimbd_stream()
    uci_roundtrip()
    base64_corpus()
    route_line()
    maclist()
