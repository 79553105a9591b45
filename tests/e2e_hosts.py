#!/usr/bin/env python3
"""End to end through the static web servers publishers use: nginx and Apache
httpd serving a release folder made by scripts/publish, with their own folder
pages on and off, and HTTPS through nginx with a certificate authority the test
makes. Each server runs as an ordinary process on a loopback port, with a
configuration this test writes.

Usage: e2e_hosts.py REPOSITORY WINDOW_DRIVER [TARVINOSIGN]
"""
import os
import subprocess

from e2e_support import UpdateCase, free_port, main

APACHE_MODULES = "/usr/lib/apache2/modules"


def run_as_root():
    return os.geteuid() == 0


class StaticHosts(UpdateCase):
    def nginx(self, autoindex, tls=None, extra=""):
        port = free_port()
        state = self.tmp / "nginx"
        state.mkdir(exist_ok=True)
        listen = f"listen 127.0.0.1:{port}" + (" ssl" if tls else "") + ";"
        certificates = f"ssl_certificate {tls[0]};\n        ssl_certificate_key {tls[1]};" if tls else ""
        config = state / "nginx.conf"
        config.write_text(f"""
daemon off;
worker_processes 1;
{"user nobody nogroup;" if run_as_root() else ""}
pid {state}/nginx.pid;
error_log {state}/error.log;
events {{ worker_connections 64; }}
http {{
    access_log off;
    client_body_temp_path {state}/body;
    proxy_temp_path {state}/proxy;
    fastcgi_temp_path {state}/fastcgi;
    uwsgi_temp_path {state}/uwsgi;
    scgi_temp_path {state}/scgi;
    types {{ text/html html; application/octet-stream exe sig; }}
    server {{
        {listen}
        {certificates}
        root {self.release};
        autoindex {"on" if autoindex else "off"};
        {extra}
    }}
}}
""")
        base = self.start(["nginx", "-c", str(config), "-p", str(state)], port, state / "out.log")
        return base.replace("http:", "https:") if tls else base

    def apache(self, indexes):
        port = free_port()
        state = self.tmp / "apache"
        state.mkdir()
        config = state / "httpd.conf"
        modules = ["mpm_event", "authz_core", "dir", "autoindex", "mime"]
        config.write_text("\n".join(
            [f"LoadModule {m}_module {APACHE_MODULES}/mod_{m}.so" for m in modules] + [
                f"ServerRoot {state}",
                f"DefaultRuntimeDir {state}",
                f"PidFile {state}/httpd.pid",
                f"ErrorLog {state}/error.log",
                f"Listen 127.0.0.1:{port}",
                "ServerName 127.0.0.1",
                *(["User nobody", "Group nogroup"] if run_as_root() else []),
                "TypesConfig /dev/null",
                "AddType application/octet-stream .exe .sig",
                "AddType text/html .html",
                "DirectoryIndex index.html",
                f"DocumentRoot {self.release}",
                f"<Directory {self.release}>",
                f"    Options {'+' if indexes else '-'}Indexes",
                "    Require all granted",
                "</Directory>", ""]))
        return self.start(["apache2", "-f", str(config), "-DFOREGROUND"], port, state / "out.log")

    def test_nginx_folder_pages_on_signed(self):
        public = self.publish(signed=True)
        self.check_updated(self.update(self.nginx(autoindex=True), public))

    def test_nginx_folder_pages_off(self):
        self.publish()
        self.check_updated(self.update(self.nginx(autoindex=False)))

    def test_apache_folder_pages_on(self):
        self.publish()
        self.check_updated(self.update(self.apache(indexes=True)))

    def test_apache_folder_pages_off_signed(self):
        public = self.publish(signed=True)
        self.check_updated(self.update(self.apache(indexes=False), public))

    def make_certificates(self):
        """A certificate authority, a server certificate it signed for 127.0.0.1, and a
        self-signed one that nothing trusts."""
        pki = self.tmp / "pki"
        pki.mkdir()

        def openssl(*args):
            subprocess.run(["openssl", *args], cwd=pki, check=True, capture_output=True)

        openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", "/CN=Tarvino test CA",
                "-keyout", "ca.key", "-out", "ca.pem")
        openssl("req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=127.0.0.1",
                "-keyout", "server.key", "-out", "server.csr")
        (pki / "san.cnf").write_text("subjectAltName=IP:127.0.0.1\n")
        openssl("x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey", "ca.key", "-CAcreateserial",
                "-days", "2", "-extfile", "san.cnf", "-out", "server.pem")
        openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", "/CN=127.0.0.1",
                "-addext", "subjectAltName=IP:127.0.0.1", "-keyout", "self.key", "-out", "self.pem")
        return pki

    def test_https_with_a_trusted_authority(self):
        pki = self.make_certificates()
        self.publish()
        base = self.nginx(autoindex=False, tls=(pki / "server.pem", pki / "server.key"))
        self.check_updated(self.update(base, env={"TARVINO_DRIVER_CA_FILE": str(pki / "ca.pem")}))

    def test_https_with_an_untrusted_certificate(self):
        pki = self.make_certificates()
        self.publish()
        base = self.nginx(autoindex=False, tls=(pki / "self.pem", pki / "self.key"))
        result = self.update(base, env={"TARVINO_DRIVER_CA_FILE": str(pki / "ca.pem")})
        self.check_untouched(result)
        self.assertIn("no update offered", result.stderr)
        self.assertIn("The update check failed: The server's certificate is not trusted", result.stderr)
        self.assertIn("Possible version: None", result.stderr)

    def test_https_redirect_to_plain_http_is_not_followed(self):
        pki = self.make_certificates()
        self.publish()
        plain = self.nginx(autoindex=False)
        base = self.nginx(autoindex=False, tls=(pki / "server.pem", pki / "server.key"),
                          extra=f"location /Windows/ {{ return 301 {plain[:-1]}$request_uri; }}")
        result = self.update(base, env={"TARVINO_DRIVER_CA_FILE": str(pki / "ca.pem")})
        # Had it been followed, the plain server would have offered the newest build.
        self.check_untouched(result)
        self.assertIn("Possible version: None", result.stderr)
        self.assertIn("The update check failed: The server sent the request on to a less safe address, which is "
                      f"not followed: {plain}Windows/6.10.1/Executables/", result.stderr)


if __name__ == "__main__":
    main()
