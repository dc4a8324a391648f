#!/usr/bin/env python3
"""The mall's pages side by side with nginx serving the same bytes (run by bench/pages.sh).

For each catalogue (the demo mall, and the demo mall with 1,000,000 generated products in one of
its stores, so that both are asked the very same pages) it starts hostd on a root of its own, prepares a cart of five items and a submitted order, saves the exact bytes of
seven pages, serves those from nginx (one worker, no access log, loopback), and measures both
alternately with ab (-c 32, a connection per request): requests per second, mean and p99
latency, CPU per request (from /proc), and hostd's system calls per page (strace -c over a batch).
Then hostd's resident memory before and after a long run of requests. Prints markdown.
"""
import argparse
import html
import http.client
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import urllib.parse

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(HERE)
CACHE = "/tmp/shopvera-pages-sh"
CATALOGUE_VERSION = "catalogue 2\n"
CLK_TCK = os.sysconf("SC_CLK_TCK")

PAGES = ["storelist", "deptlist", "prodlist", "prodinfo", "ksearch", "shopcart", "review"]
BUYER = "127.0.0.1"     # ab's address: the shopper whose cart the cart page shows
REVIEWER = "127.0.0.2"  # who submits the order that the review page shows


def log(text):
    print(text, file=sys.stderr, flush=True)


# ---- the malls

def generate_catalogue(path, store, departments, products):
    """1,000,000 products in departments of their own in one of the demo's stores that no measured
    page shows (its store record is the demo's again once the demo is imported over it). So the
    store list, the Bytebay department list and every other measured page are the very bytes the
    demo mall gives, and what differs is the size of the data files alone. The shape of
    bench/pages_bench.cpp: product n has keyword KWnnn (shared by 20 or more in its department)
    and every other product one of its own."""
    vocabulary = max(1, products // 20)
    with open(path, "w") as out:
        out.write('{"stores": [\n')
        out.write('{"id": "%s", "name": "Generated", "mail_user": "SYSOP", '
                  '"description": "Goods of every kind",\n "departments": [' % store)
        out.write(", ".join('{"id": "G%03d", "name": "Department %d", "description": ""}' % (d, d)
                            for d in range(departments)))
        out.write('],\n "products": [\n')
        for d in range(departments):
            rows = []
            for p in range(products):
                n = d * products + p
                kw = '"KW%03d"' % (p % vocabulary)
                if n % 2 == 0:
                    kw += ', "ITEM%07d"' % n
                rows.append('  {"department": "G%03d", "id": "P%07d", "name": "Product %d", '
                            '"description": "A sound product, number %d", "price": %d.%02d, '
                            '"stock": 1000000, "keywords": [%s]}'
                            % (d, n, n, n, 1 + n % 200, n % 100, kw))
            out.write(("" if d == 0 else ",\n") + ",\n".join(rows))
        out.write("]}\n]}\n")


def million_catalogue(mallctl):
    """data/catalogue.db of a million products, built once into the cache."""
    directory = os.path.join(CACHE, "kettle-1000x1000")
    db = os.path.join(directory, "catalogue.db")
    done = os.path.join(directory, "complete")
    if os.path.exists(db) and os.path.exists(done) and open(done).read() == CATALOGUE_VERSION:
        return db
    shutil.rmtree(directory, ignore_errors=True)
    os.makedirs(directory)
    json_path = os.path.join(directory, "catalogue.json")
    log("generating a catalogue of 1,000,000 products")
    generate_catalogue(json_path, "KETTLE", 1000, 1000)
    build = os.path.join(directory, "build")
    subprocess.run([mallctl, "--root", build, "init"], check=True, stdout=subprocess.DEVNULL)
    started = time.time()
    subprocess.run([mallctl, "--root", build, "import", json_path], check=True, stdout=sys.stderr)
    log("imported in %.0f s" % (time.time() - started))
    os.rename(os.path.join(build, "data", "catalogue.db"), db)
    shutil.rmtree(build)
    os.unlink(json_path)
    open(done, "w").write(CATALOGUE_VERSION)
    return db


class Mall:
    """A root, its hostd and the paths of the seven pages."""

    def __init__(self, name, bin_dir, work, catalogue_db=None):
        self.name = name
        self.root = os.path.join(work, name)
        mallctl = os.path.join(bin_dir, "mallctl")
        args = [mallctl, "--root", self.root, "init", "--demo"]
        subprocess.run(args, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if catalogue_db:
            # The million products, then the demo over them: the same pages are asked of both
            # malls, so what differs is the size of the catalogue alone.
            target = os.path.join(self.root, "data", "catalogue.db")
            for suffix in ("", "-wal", "-shm"):
                if os.path.exists(target + suffix):
                    os.unlink(target + suffix)
            shutil.copyfile(catalogue_db, target)
            subprocess.run([mallctl, "--root", self.root, "import",
                            os.path.join(SOURCE, "site", "demo", "catalogue.json")],
                           check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.stderr = open(os.path.join(work, name + ".hostd.err"), "w")
        self.process = subprocess.Popen([os.path.join(bin_dir, "hostd"), "--root", self.root, "--port", "0"],
                                        stdout=subprocess.PIPE, stderr=self.stderr, text=True)
        line = self.process.stdout.readline()
        match = re.search(r":(\d+)/", line)
        if not match:
            self.process.kill()
            self.process.wait()
            raise SystemExit("hostd did not start: " + line)
        self.port = int(match.group(1))
        self.pid = self.process.pid
        try:
            self.prepare(catalogue_db)
        except BaseException:
            self.stop()  # a mall that cannot be prepared leaves no hostd behind
            raise

    def prepare(self, catalogue_db):
        """The paths of the seven pages, the cart filled and an order stored for the review."""
        self.paths = {
            "storelist": "/webmall?CMD=storelist",
            "deptlist": "/webmall?CMD=deptlist&SID=BYTEBAY",
            "prodlist": "/webmall?CMD=prodlist&SID=BYTEBAY&DID=CABLES",
            "prodinfo": "/webmall?CMD=prodinfo&SID=BYTEBAY&DID=CABLES&PID=USBC-1M",
            "ksearch": "/webmall?CMD=ksearch&STYPE=SM&KEYWORD=CABLE",
        }
        items = [("BYTEBAY", "CABLES", "USBC-1M"), ("BYTEBAY", "CABLES", "HDMI-2M"),
                 ("BYTEBAY", "CABLES", "CAT6-5M"), ("BYTEBAY", "AUDIO", "BUDS-X2"),
                 ("BYTEBAY", "AUDIO", "DAC-MINI")]
        for sid, did, pid in items:
            self.get(BUYER, "/webmall?CMD=order&SID=%s&DID=%s&PID=%s&OrderQuant=1"
                     % (sid, did, urllib.parse.quote_plus(pid)))
        self.paths["shopcart"] = "/webmall?CMD=shopcart"
        self.paths["review"] = self.submit_order(*items[0])

    def request(self, source, method, path, body=None):
        connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=30,
                                                source_address=(source, 0))
        headers = {"Content-Type": "application/x-www-form-urlencoded"} if body is not None else {}
        connection.request(method, path, body=body, headers=headers)
        page = connection.getresponse().read()
        connection.close()
        return page.decode("latin-1")

    def get(self, source, path):
        return self.request(source, "GET", path)

    def post(self, source, fields):
        return self.request(source, "POST", "/webmall", urllib.parse.urlencode(fields))

    def submit_order(self, sid, did, pid):
        """A whole purchase from another address; the path of its review."""
        who = REVIEWER
        self.get(who, "/webmall?CMD=order&SID=%s&DID=%s&PID=%s&OrderQuant=2"
                 % (sid, did, urllib.parse.quote_plus(pid)))
        page = self.post(who, [("CMD", "submitreg"), ("DEST", "s2"), ("BNAME", "Joe Buyer"),
                               ("BADDR1", "1 Main St"), ("BCITY", "Springfield"), ("BSTATE", "IL"),
                               ("BZIP", "62701"), ("BPHONE", "555-0100")])
        mark = 'name="SHIPOPT" value="'
        at = page.find(mark)
        if at < 0:
            raise SystemExit("%s: no shipping choice for the review order" % self.name)
        line = page[at + len(mark):page.find('"', at + len(mark))]
        options = self.post(who, [("CMD", "purchopt"), ("SHIPOPT", html.unescape(line))])
        # A way to pay without a card form, else Visa (option 1) with a test card number.
        ways = re.findall(r'name="popt" value="(\d+)"', options)
        for way in ways:
            page = self.post(who, [("CMD", "startpurch"), ("popt", way)])
            if 'class="error"' in page:
                continue
            if 'value="complete"' in page:
                if way != "1":
                    continue
                self.post(who, [("CMD", "complete"), ("type", "CC"), ("OPTVAL", way), ("CCNAME", "Joe Buyer"),
                                ("CCNUM", "4111111111111111"), ("CCEXP", "12/28"), ("CCADDR", "1 Main St"),
                                ("CCZIP", "62701")])
            break
        done = self.post(who, [("CMD", "submit"), ("EMAIL", "joe@example.com")])
        match = re.search(r"CMD=review&amp;SID=([^&]+)&amp;OID=(\d+)", done)
        if not match:
            raise SystemExit("%s: the order for the review page was not accepted" % self.name)
        return "/webmall?CMD=review&SID=%s&OID=%s&PSWORD=joe%%40example.com" % match.groups()

    def stop(self):
        self.process.send_signal(signal.SIGTERM)
        self.process.wait(timeout=60)
        self.stderr.close()


# ---- nginx

class Nginx:
    def __init__(self, work, pages):
        self.dir = os.path.join(work, "nginx")
        os.makedirs(os.path.join(self.dir, "html"), exist_ok=True)
        for name, body in pages.items():
            with open(os.path.join(self.dir, "html", name + ".html"), "wb") as f:
                f.write(body)
        self.port = free_port()
        conf = os.path.join(self.dir, "nginx.conf")
        with open(conf, "w") as f:
            f.write("""worker_processes 1;
daemon off;
pid %(d)s/nginx.pid;
error_log %(d)s/error.log;
events { worker_connections 1024; }
http {
    access_log off;
    client_body_temp_path %(d)s/body;
    proxy_temp_path %(d)s/proxy;
    fastcgi_temp_path %(d)s/fastcgi;
    uwsgi_temp_path %(d)s/uwsgi;
    scgi_temp_path %(d)s/scgi;
    default_type text/html;
    server {
        listen 127.0.0.1:%(p)d;
        root %(d)s/html;
    }
}
""" % {"d": self.dir, "p": self.port})
        self.process = subprocess.Popen(["/usr/sbin/nginx", "-c", conf, "-p", self.dir],
                                        stderr=subprocess.DEVNULL)
        for _ in range(100):
            try:
                children = open("/proc/%d/task/%d/children" % (self.process.pid, self.process.pid)).read().split()
            except OSError:
                children = []
            if children:
                self.worker = int(children[0])
                break
            time.sleep(0.05)
        else:
            raise SystemExit("nginx did not start (see %s/error.log)" % self.dir)
        time.sleep(0.2)

    def stop(self):
        self.process.send_signal(signal.SIGQUIT)
        self.process.wait(timeout=30)


def free_port():
    import socket
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def raw_body(port, path, source=BUYER):
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=30, source_address=(source, 0))
    connection.request("GET", path)
    body = connection.getresponse().read()
    connection.close()
    return body


# ---- measuring

def cpu_ns(pid):
    """Nanoseconds the process's (only) thread has run: /proc/PID/schedstat, finer than ticks."""
    try:
        return int(open("/proc/%d/schedstat" % pid).read().split()[0])
    except (OSError, ValueError, IndexError):
        fields = open("/proc/%d/stat" % pid).read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) * 1000000000 // CLK_TCK  # utime + stime


def rss_kib(pid):
    for line in open("/proc/%d/status" % pid):
        if line.startswith("VmRSS:"):
            return int(line.split()[1])
    return 0


def ab(port, path, requests, concurrency=32):
    """req/s, mean ms, p99 ms, failed requests."""
    concurrency = min(concurrency, requests)
    out = subprocess.run(["ab", "-q", "-r", "-c", str(concurrency), "-n", str(requests),
                          "http://127.0.0.1:%d%s" % (port, path)],
                         capture_output=True, text=True)
    text = out.stdout
    def number(pattern):
        m = re.search(pattern, text)
        return float(m.group(1)) if m else float("nan")
    if out.returncode != 0:
        log("ab -c %d -n %d %s failed: %s" % (concurrency, requests, path, out.stderr.strip()[:300]))
    return (number(r"Requests per second:\s+([\d.]+)"),
            number(r"Time per request:\s+([\d.]+) \[ms\] \(mean\)"),
            number(r"\n\s+99%\s+(\d+)"),
            number(r"Failed requests:\s+(\d+)") + number(r"Non-2xx responses:\s+(\d+)") if "Non-2xx" in text
            else number(r"Failed requests:\s+(\d+)"))


def syscalls_per_page(pid, port, path, batch):
    """strace -c over a batch of requests, one at a time: calls per page."""
    out_file = tempfile.mktemp(prefix="pages-strace-")
    tracer = subprocess.Popen(["strace", "-c", "-f", "-o", out_file, "-p", str(pid)],
                              stderr=subprocess.DEVNULL)
    time.sleep(0.5)
    subprocess.run(["ab", "-q", "-c", "1", "-n", str(batch), "http://127.0.0.1:%d%s" % (port, path)],
                   capture_output=True)
    time.sleep(0.2)
    tracer.send_signal(signal.SIGINT)
    tracer.wait(timeout=30)
    total = 0
    try:
        for line in open(out_file):
            if line.strip().endswith("total"):
                parts = line.split()
                total = int(parts[3]) if len(parts) >= 5 else 0
        os.unlink(out_file)
    except OSError:
        pass
    return total / batch


def measure(mall, nginx, rounds, requests, batch):
    rows = {}
    for page in PAGES:
        rows[page] = {"mall": [], "nginx": [], "mall_cpu": [], "nginx_cpu": []}
    for r in range(rounds):
        log("%s: round %d of %d" % (mall.name, r + 1, rounds))
        for page in PAGES:
            for side, port, path, pid in (("mall", mall.port, mall.paths[page], mall.pid),
                                          ("nginx", nginx.port, "/%s-%s.html" % (mall.name, page), nginx.worker)):
                before = cpu_ns(pid)
                result = ab(port, path, requests)
                used = cpu_ns(pid) - before
                rows[page][side].append(result)
                rows[page][side + "_cpu"].append(used / 1000.0 / requests)
    for page in PAGES:
        rows[page]["mall_calls"] = syscalls_per_page(mall.pid, mall.port, mall.paths[page], batch)
        rows[page]["nginx_calls"] = syscalls_per_page(nginx.worker, nginx.port,
                                                      "/%s-%s.html" % (mall.name, page), batch)
    return rows


def median(values):
    values = sorted(values)
    n = len(values)
    return values[n // 2] if n % 2 else (values[n // 2 - 1] + values[n // 2]) / 2


def table(name, rows):
    lines = ["#### %s" % name, "",
             "| page | mall req/s | nginx req/s | ratio | mall mean ms | nginx mean ms | mall p99 ms | "
             "nginx p99 ms | mall CPU/req | nginx CPU/req | CPU ratio | mall calls/page | nginx calls/page |",
             "|---|---|---|---|---|---|---|---|---|---|---|---|---|"]
    for page in PAGES:
        row = rows[page]
        m_rps = median([x[0] for x in row["mall"]])
        n_rps = median([x[0] for x in row["nginx"]])
        m_mean = median([x[1] for x in row["mall"]])
        n_mean = median([x[1] for x in row["nginx"]])
        m_p99 = median([x[2] for x in row["mall"]])
        n_p99 = median([x[2] for x in row["nginx"]])
        m_cpu = median(row["mall_cpu"])
        n_cpu = median(row["nginx_cpu"])
        failed = sum(x[3] for x in row["mall"])
        lines.append("| %s%s | %s | %s | %.2f | %.1f | %.1f | %.0f | %.0f | %.0f us | %.0f us | %.1f | %.0f | %.0f |" % (
            page, " (%d failed)" % failed if failed else "", "{:,.0f}".format(m_rps), "{:,.0f}".format(n_rps),
            m_rps / n_rps, m_mean, n_mean, m_p99, n_p99, m_cpu, n_cpu, m_cpu / n_cpu if n_cpu else float("inf"),
            row["mall_calls"], row["nginx_calls"]))
    return "\n".join(lines)


def memory_run(mall, total):
    """hostd's resident memory before and after total requests spread over the seven pages."""
    before = rss_kib(mall.pid)
    chunk = 20000 if total >= 140000 else max(100, total // 14)
    done = 0
    while done < total:
        for page in PAGES:
            n = min(chunk, total - done)
            if n <= 0:
                break
            ab(mall.port, mall.paths[page], n)
            done += n
    after = rss_kib(mall.pid)
    return before, after, done


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--bin", default=os.path.join(SOURCE, "build", "bin"))
    parser.add_argument("--quick", action="store_true", help="the demo mall only, short runs")
    parser.add_argument("--rounds", type=int)
    parser.add_argument("--requests", type=int)
    parser.add_argument("--memory-requests", type=int)
    args = parser.parse_args()
    rounds = args.rounds or 3
    requests = args.requests or (1000 if args.quick else 5000)
    memory_requests = args.memory_requests or (20000 if args.quick else 1000000)
    batch = 100 if args.quick else 300

    work = tempfile.mkdtemp(prefix="shopvera-pages-")
    os.chmod(work, 0o755)  # nginx's worker runs as another user
    started = time.time()
    load_before = os.getloadavg()
    malls = []
    try:
        malls.append(Mall("demo", args.bin, work))
        if not args.quick:
            malls.append(Mall("million", args.bin, work, million_catalogue(os.path.join(args.bin, "mallctl"))))
        pages = {}
        for mall in malls:
            for page in PAGES:
                body = raw_body(mall.port, mall.paths[page])
                if b'class="error"' in body:
                    raise SystemExit("%s %s shows an error page" % (mall.name, page))
                pages["%s-%s" % (mall.name, page)] = body
        nginx = Nginx(work, pages)
        try:
            for mall in malls:  # nginx serves the very bytes
                for page in PAGES:
                    assert raw_body(nginx.port, "/%s-%s.html" % (mall.name, page)) == pages["%s-%s" % (mall.name, page)]
            results = [(mall, measure(mall, nginx, rounds, requests, batch)) for mall in malls]
        finally:
            nginx.stop()
        memory = memory_run(malls[0], memory_requests)
    finally:
        for mall in malls:
            mall.stop()
        shutil.rmtree(work, ignore_errors=True)

    print("### Pages against nginx (bench/pages.sh%s)" % (" --quick" if args.quick else ""))
    print()
    print("%s; %d CPUs; load average %.1f before, %.1f after; %d rounds of `ab -c 32 -n %d` per page "
          "and server, alternating; medians; system calls from `strace -c -f` over %d pages one at a "
          "time; %.0f s in all." % (
              time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime()), os.cpu_count(), load_before[0],
              os.getloadavg()[0], rounds, requests, batch, time.time() - started))
    if len(malls) > 1:
        same = [page for page in PAGES if pages["demo-" + page] == pages["million-" + page]]
        other = ["%s (%d bytes against %d)" % (page, len(pages["million-" + page]), len(pages["demo-" + page]))
                 for page in PAGES if page not in same]
        print()
        print("The same bytes in both malls: %s. Otherwise: %s." % (", ".join(same) or "none",
                                                                   ", ".join(other) or "none"))
    for mall, rows in results:
        print()
        print(table({"demo": "Demo mall (47 products)", "million": "1,000,000 products"}[mall.name], rows))
    before, after, count = memory
    print()
    print("hostd resident memory (demo mall): %.1f MiB before, %.1f MiB after %s requests (%+.1f %%)." % (
        before / 1024, after / 1024, "{:,}".format(count), (after - before) * 100.0 / before))


if __name__ == "__main__":
    main()
