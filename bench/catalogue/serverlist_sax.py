#!/usr/bin/env python3
"""Reference for the server-list benchmark.

generate <file> <servers>: write a server list with that many servers (OpenVPN and OpenConnect).
parse <file> <runs>: parse it with xml.sax doing the same work as the client's parser (collect
servers and regions, resolve region names) and print the median CPU seconds per parse.
"""
import random
import statistics
import sys
import time
import xml.sax

REGIONS = ["日本", "韓国", "台湾", "アメリカ", "ドイツ", "イギリス", "フランス", "ベトナム", "タイ", "カナダ"]


def generate(path, count):
    rnd = random.Random(42)
    with open(path, "w", encoding="utf-8") as f:
        f.write('<?xml version="1.0" encoding="UTF-8"?>\n<ServerList>\n  <AuthServer Server="auth.example.invalid"/>\n')
        for i, name in enumerate(REGIONS):
            f.write(f'  <Region Region="{name}" No="{i}"/>\n')
        for i in range(count):
            elem = "Server" if i % 2 == 0 else "OCServer"
            f.write(f'  <{elem} Server="vpn{i}.example.invalid" Region="{rnd.randrange(len(REGIONS))}" '
                    f'Port="{443 if i % 2 else 1194}" Status="{rnd.randrange(6)}" Type="udp,tcp"/>\n')
        f.write("</ServerList>\n")


class Handler(xml.sax.ContentHandler):
    def __init__(self):
        super().__init__()
        self.servers, self.oc_servers, self.regions = [], [], {}

    def startElement(self, name, attrs):
        if name in ("Server", "AddServer", "OCServer", "AddOCServer"):
            info = {"Server": attrs["Server"], "Servername": "", "port": attrs["Port"], "regionNo": attrs["Region"],
                    "regionName": "", "status": attrs["Status"], "type": attrs["Type"].split(",")}
            int(info["status"])
            (self.servers if name in ("Server", "AddServer") else self.oc_servers).append(info)
        elif name in ("Region", "AddRegion"):
            n = len(self.regions)
            self.regions[str(n)] = {"Region": attrs["Region"], "No": attrs["No"], "Row": n}

    def endDocument(self):
        for lst in (self.servers, self.oc_servers):
            for s in lst:
                s["regionName"] = self.regions[s["regionNo"]]["Region"]


def parse(path, runs):
    times = []
    for _ in range(runs):
        h = Handler()
        t = time.process_time()
        xml.sax.parse(path, h)
        times.append(time.process_time() - t)
    print(f"{statistics.median(times):.6f} {len(h.servers) + len(h.oc_servers)}")


if __name__ == "__main__":
    if len(sys.argv) != 4 or sys.argv[1] not in ("generate", "parse"):
        sys.exit(__doc__)
    (generate if sys.argv[1] == "generate" else parse)(sys.argv[2], max(1, int(sys.argv[3])))
