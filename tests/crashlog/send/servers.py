"""Loopback servers for the delivery tests, one per run.

Usage: servers.py KIND OUTDIR [options]
Prints "PORT <n>" once the server listens, then serves until killed.
Every server binds 127.0.0.1 only.
"""
import json
import os
import socket
import ssl
import sys
import threading
import time


def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def announce(port):
    print("PORT %d" % port, flush=True)
    # The test stops reading after this line: later output must not fail.
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, 1)
    sys.stdout = open(os.devnull, "w")


def save(outdir, record):
    """One file per field (NNN.<field>), then NNN.done once all are there."""
    n = len([f for f in os.listdir(outdir) if f.endswith(".done")])
    for key, value in record.items():
        if value is None:
            continue
        if isinstance(value, list):
            value = "\n".join(value)
        with open(os.path.join(outdir, "%03d.%s" % (n, key)), "wb") as f:
            f.write(value.encode("latin-1"))
    open(os.path.join(outdir, "%03d.done" % n), "w").close()


def smtp(outdir, auth):
    from aiosmtpd.controller import Controller
    from aiosmtpd.smtp import AuthResult, LoginPassword

    class Handler:
        async def handle_DATA(self, server, session, envelope):
            login = None
            if session.authenticated and isinstance(session.auth_data, LoginPassword):
                login = session.auth_data.login.decode()
            save(outdir, {"from": envelope.mail_from, "to": envelope.rcpt_tos,
                          "data": envelope.original_content.decode("latin-1"),
                          "login": login})
            return "250 OK"

    def authenticator(server, session, envelope, mechanism, auth_data):
        ok = (isinstance(auth_data, LoginPassword) and auth_data.login == b"user"
              and auth_data.password == b"secret")
        return AuthResult(success=ok, handled=False, auth_data=auth_data)

    port = free_port()
    kwargs = dict(hostname="127.0.0.1", port=port)
    if auth:
        kwargs.update(authenticator=authenticator, auth_require_tls=False, auth_required=True)
    controller = Controller(Handler(), **kwargs)
    controller.start()
    announce(port)
    while True:
        time.sleep(3600)


def dns(outdir):
    from dnslib import MX, QTYPE, RCODE, RR, TXT
    from dnslib.server import BaseResolver, DNSServer

    class Resolver(BaseResolver):
        def resolve(self, request, handler):
            reply = request.reply()
            name = str(request.q.qname).rstrip(".")
            if name == "example.test" and request.q.qtype == QTYPE.MX:
                # A record of another type first, so the client must walk
                # past it by its length.
                reply.add_answer(RR(request.q.qname, QTYPE.TXT, rdata=TXT("v=none"), ttl=60))
                reply.add_answer(RR(request.q.qname, QTYPE.MX, rdata=MX("localhost", 10), ttl=60))
            else:
                reply.header.rcode = RCODE.NXDOMAIN
            return reply

    server = DNSServer(Resolver(), address="127.0.0.1", port=free_port())
    server.start_thread()
    announce(server.server.server_address[1])
    while True:
        time.sleep(3600)


def ftp(outdir):
    from pyftpdlib.authorizers import DummyAuthorizer
    from pyftpdlib.handlers import FTPHandler
    from pyftpdlib.servers import FTPServer

    authorizer = DummyAuthorizer()
    authorizer.add_user("user", "secret", outdir, perm="elradfmwMT")
    handler = FTPHandler
    handler.authorizer = authorizer
    handler.passive_ports = None
    handler.auth_failed_timeout = 0.1
    import logging
    logging.basicConfig(level=logging.ERROR)
    server = FTPServer(("127.0.0.1", 0), handler)
    announce(server.socket.getsockname()[1])
    server.serve_forever()


def http(outdir, cert, key, status):
    from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

    class Handler(BaseHTTPRequestHandler):
        def do_POST(self):
            length = int(self.headers.get("Content-Length", "0"))
            body = self.rfile.read(length)
            save(outdir, {"line": self.requestline,
                          "headers": ["%s: %s" % (k, v) for k, v in self.headers.items()],
                          "body": body.decode("latin-1")})
            self.send_response(status)
            if status in (301, 302, 303):
                self.send_header("Location", "/elsewhere")
            self.send_header("Content-Length", "2")
            self.end_headers()
            self.wfile.write(b"ok")

        def log_message(self, *args):
            pass

    server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    if cert:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(cert, key)
        server.socket = context.wrap_socket(server.socket, server_side=True)
    announce(server.server_address[1])
    server.serve_forever()


def mantis(outdir, variant):
    """The pages of an issue tracker as far as the client reads them.
    variant: new, existing, closed, nosearch."""
    from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
    from urllib.parse import urlsplit

    pages = {
        "login_select_proj_page.php":
            '<form><select name="project_id"><option value="1">Alpha</option>'
            '<option value="7">Tarnwick</option></select></form>',
        "my_view_page.php": '<select><option value="7" selected="selected">Tarnwick</option></select>',
        "view_all_bug_page.php":
            ('<input type="submit" name="reset_query_button" value="Reset">'
             if variant != "nosearch" else '<p>no search form</p>') +
            ('<td class="center"><u><a title="open"></a></u></td>'
             '<a href="bug_update_page.php?bug_id=42">edit</a>'
             if variant in ("existing", "closed") else ""),
        "bug_report_advanced_page.php":
            '<form><input type="hidden" name="m_id" value="0"/>'
            '<input type="hidden" name="project_id" value="7"/>'
            '<select name="handler_id"><option value="0"></option><option value="3">bob</option></select>'
            '<select name="category"><option value="Crash">Crash</option><option value="UI">UI</option></select>'
            '<select name="severity"><option value="50" selected="selected">minor</option>'
            '<option value="70">crash</option></select>'
            '<select name="priority"><option value="30" selected>normal</option></select>'
            '<input type="text" name="platform" value="x86"/>'
            '<input type="hidden" name="bug_report_token" value="tok&amp;1"/>'
            '<input name="file" type="file"/></form>',
        "bug_report.php": '<a href="view.php?id=43">View</a>',
        "bug_update_page.php":
            '<form><input type="hidden" name="bug_id" value="42"/>'
            '<input type="hidden" name="update_mode" value="1"/>'
            '<input type="text" name="summary" value="[v1.0 - 7]: EAccessViolation (1A2B)"/>'
            '<select name="status"><option value="50"%s>assigned</option>'
            '<option value="80"%s>resolved</option></select>'
            '<select name="severity"><option value="70" selected>crash</option></select>'
            '<textarea name="description"> First seen &lt;here&gt; </textarea>'
            '<input type="hidden" name="bug_update_token" value="up1"/></form>'
            % (("", " selected") if variant == "closed" else (" selected", "")),
        "view.php": '<a href="view.php?id=42">View</a>',
    }
    redirects = {"login.php": "login_select_proj_page.php", "set_project.php": "my_view_page.php",
                 "view_all_set.php": "view_all_bug_page.php", "bug_update.php": "view.php?id=42"}

    class Handler(BaseHTTPRequestHandler):
        def handle_any(self):
            length = int(self.headers.get("Content-Length", "0"))
            body = self.rfile.read(length) if length else b""
            save(outdir, {"line": self.command + " " + self.path,
                          "headers": ["%s: %s" % (k, v) for k, v in self.headers.items()],
                          "body": body.decode("latin-1")})
            page = urlsplit(self.path).path.rsplit("/", 1)[-1]
            logged_in = "sid=s1" in (self.headers.get("Cookie") or "")
            if page == "login.php":
                ok = b"username=ann&password=pw" in body
                self.send_response(302)
                self.send_header("Location", redirects[page] if ok else "login_page.php")
                if ok:
                    self.send_header("Set-Cookie", "sid=s1; path=/")
                self.send_header("Content-Length", "0")
                self.end_headers()
                return
            if not logged_in:
                text = "<p>please log in</p>"
            elif page in redirects:
                self.send_response(302)
                self.send_header("Location", redirects[page])
                self.send_header("Content-Length", "0")
                self.end_headers()
                return
            else:
                text = pages.get(page, "<p>unknown page</p>")
            data = text.encode("latin-1")
            self.send_response(200)
            self.send_header("Content-Length", str(len(data)))
            self.end_headers()
            self.wfile.write(data)

        do_GET = handle_any
        do_POST = handle_any

        def log_message(self, *args):
            pass

    server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    announce(server.server_address[1])
    server.serve_forever()


def pages_server(outdir, respond):
    """A page server: respond(command, page, query, body, cookie) returns
    (status, headers, text)."""
    from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
    from urllib.parse import urlsplit

    class Handler(BaseHTTPRequestHandler):
        def handle_any(self):
            length = int(self.headers.get("Content-Length", "0"))
            body = self.rfile.read(length) if length else b""
            save(outdir, {"line": self.command + " " + self.path,
                          "body": body.decode("latin-1")})
            parts = urlsplit(self.path)
            status, headers, text = respond(self.command, parts.path.rsplit("/", 1)[-1],
                                            parts.query, body, self.headers.get("Cookie") or "")
            data = text.encode("latin-1")
            self.send_response(status)
            for k, v in headers:
                self.send_header(k, v)
            self.send_header("Content-Length", str(len(data)))
            self.end_headers()
            self.wfile.write(data)

        do_GET = handle_any
        do_POST = handle_any

        def log_message(self, *args):
            pass

    server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    announce(server.server_address[1])
    server.serve_forever()


def bugzilla(outdir, variant):
    """variant: new, existing, closed."""
    def respond(command, page, query, body, cookie):
        if page == "enter_bug.cgi" and command == "POST":
            if b"Bugzilla%5Fpassword=pw" not in body:
                return 200, [], '<a href="relogin.cgi">log in again</a>'
            return 200, [("Set-Cookie", "Bugzilla_logincookie=c1")], "<p>products</p>"
        if "Bugzilla_logincookie=c1" not in cookie:
            return 200, [], '<a href="relogin.cgi">log in</a>'
        if page == "buglist.cgi":
            found = ('<td style="white-space: nowrap"><a href="show_bug.cgi?id=17">17</a></td>'
                     if variant != "new" else "")
            return 200, [], '<a href="query.cgi?format=x">Edit</a>' + found
        if page == "enter_bug.cgi":
            return 200, [], ('<form action="post_bug.cgi"><input type="hidden" name="product" value="Tarnwick">'
                             '<select name="version"><option value="0.9" selected>0.9</option>'
                             '<option value="1.0">1.0</option></select>'
                             '<script>components[0] = "Core";</script>'
                             '<select name="bug_severity"><option value="major" selected>major</option></select>'
                             '<input type="hidden" name="bug_status" value="NEW"></form>')
        if page == "post_bug.cgi":
            return 200, [], '<input type="hidden" name="id" value="18"><a href="show_bug.cgi?id=18">18</a>'
        if page == "attachment.cgi":
            return 200, [], "<p>attached</p>"
        if page == "show_bug.cgi":
            reopen = '<input type="radio" name="knob" value="reopen">' if variant == "closed" else ""
            return 200, [], ('<form><input type="hidden" name="form_name" value="process_bug">'
                             '<input type="hidden" name="delta_ts" value="2026-12-10 10:00">'
                             '<input type="hidden" name="id" value="17">'
                             '<input name="short_desc" value="[v1.0 - 2]: EAccessViolation (1A2B)">'
                             + reopen + '</form>')
        if page == "process_bug.cgi":
            return 200, [], '<a href="show_bug.cgi?id=17">17</a>'
        return 404, [], "not found"
    pages_server(outdir, respond)


def fogbugz(outdir, variant):
    """variant: new, existing."""
    def respond(command, page, query, body, cookie):
        if command == "POST" and b"pre=preLogon" in body:
            if b"sPassword=pw" not in body:
                return 200, [], "<p>bad login</p>"
            return 302, [("Location", "default.asp?pg=pgMain"), ("Set-Cookie", "fb=1")], ""
        if "fb=1" not in cookie:
            return 200, [], "<p>log in</p>"
        if "pre=preSearch" in query:
            found = ('<td style="white-space: nowrap"><a href="default.asp?pg=pgEditBug&ixBug=77">77</a>'
                     '<a href="default.asp?pgx=EV&amp;ixBug=77">77</a></td>' if variant == "existing" else "")
            return 200, [], '<a href="default.asp?searchFor=x">again</a>' + found
        if "command=new" in query or "command=edit" in query:
            form = ('<a href="default.asp?pre=preLogOff">out</a><form action="default.asp?sActionToken=tk9">'
                    '<input type="hidden" name="command" value="%s">'
                    '<input type="hidden" name="ixBug" value="%s">'
                    '<input name="sTitle" value="[v1.0 - 4]: EAccessViolation (1A2B)">'
                    '<select name="ixProject"><option value="1">Alpha</option><option value="5">Tarnwick</option></select>'
                    '<select name="ixArea"><option value="8">Tarnwick: UI</option></select>'
                    '<select name="ixCategory"><option value="1" selected>Bug</option></select>'
                    '<textarea name="sEvent">old text</textarea>'
                    '<input type="submit" name="OK" value="OK"></form>'
                    % (("edit", "77") if variant == "existing" else ("new", "0")))
            return 200, [], form
        if "pre=preSubmitBug" in query:
            return 200, [], '<a href="default.asp?command=resolve&ixBug=78">Resolve</a>'
        return 200, [], '<a href="default.asp?pre=preLogOff">Log off</a>'
    pages_server(outdir, respond)


def main():
    kind, outdir = sys.argv[1], sys.argv[2]
    args = sys.argv[3:]
    if kind == "smtp":
        smtp(outdir, auth=False)
    elif kind == "smtp-auth":
        smtp(outdir, auth=True)
    elif kind == "dns":
        dns(outdir)
    elif kind == "ftp":
        ftp(outdir)
    elif kind == "http":
        http(outdir, None, None, int(args[0]) if args else 200)
    elif kind == "https":
        http(outdir, args[0], args[1], int(args[2]) if len(args) > 2 else 200)
    elif kind == "bugzilla":
        bugzilla(outdir, args[0] if args else "new")
    elif kind == "fogbugz":
        fogbugz(outdir, args[0] if args else "new")
    elif kind == "mantis":
        mantis(outdir, args[0] if args else "new")
    else:
        sys.exit("unknown server kind " + kind)


if __name__ == "__main__":
    main()
