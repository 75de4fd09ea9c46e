"""What the Python tests of the service and the chain share: free ports, waiting for a
condition, and Mosquitto set up as the package ships it (its configuration, and each login
made by velko-broker with the role the docs give it).

Imported after `sys.path.insert(0, <this folder>)`.
"""
import os
import signal
import subprocess
import socket
import time

REPO = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
SHIPPED = os.path.join(REPO, "packaging", "mosquitto")
VELKO_BROKER = os.path.join(SHIPPED, "velko-broker")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def listening(port):
    with socket.socket() as s:
        return s.connect_ex(("127.0.0.1", port)) == 0


def wait_for(what, check, timeout=30):
    """check()'s first true value within `timeout` seconds; AssertionError naming `what`."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = check()
        if value:
            return value
        time.sleep(0.2)
    raise AssertionError("never within %d s: %s" % (timeout, what))


def password(login):
    return login + "-password"


class Broker:
    """Mosquitto with the shipped configuration on a local port of the test's (its TLS
    listener left out: `extra` adds what a test needs), and `logins`, a dict of login to
    "shop" or "head-office", each made by velko-broker with password(login)."""

    def __init__(self, work, logins, persistence=True, extra=""):
        self.port = free_port()
        # Started by root, mosquitto drops to its own user, which must read and write here.
        self.dir = os.path.join(work, "broker")
        os.makedirs(self.dir)
        os.chmod(work, 0o755)
        os.chmod(self.dir, 0o777)
        self.conf = os.path.join(self.dir, "mosquitto.conf")
        security = os.path.join(self.dir, "dynamic-security.json")
        subprocess.run([VELKO_BROKER, "init", security, "admin", password("admin")], check=True,
                       stdout=subprocess.DEVNULL)
        os.chmod(security, 0o666)
        with open(os.path.join(SHIPPED, "velko.conf")) as shipped, open(self.conf, "w") as f:
            for line in shipped:
                if line.startswith("listener 8883"):
                    break  # the shops' TLS listener ends the file
                if line.startswith("plugin_opt_config_file"):
                    line = "plugin_opt_config_file %s\n" % security
                elif line.startswith("listener "):
                    line = "listener %d 127.0.0.1\n" % self.port
                elif line.startswith("persistence "):
                    line = ("persistence true\npersistence_location %s/\n" % self.dir
                            if persistence else "persistence false\n")
                f.write(line)
            f.write(extra)
        self.log = open(os.path.join(self.dir, "mosquitto.log"), "a")
        self.process = None
        self.start()
        env = dict(os.environ, VELKO_BROKER_OPTIONS="-h 127.0.0.1 -p %d -u admin -P %s"
                   % (self.port, password("admin")))
        for login, role in logins.items():
            subprocess.run([VELKO_BROKER, role, login, password(login)], check=True, env=env)

    def start(self):
        self.process = subprocess.Popen(["mosquitto", "-c", self.conf], stdout=self.log,
                                        stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
        wait_for("the broker listens",
                 lambda: listening(self.port) or self.process.poll() is not None)
        if self.process.poll() is not None:
            raise AssertionError("mosquitto ended (status %d); see %s"
                                 % (self.process.returncode, self.log.name))

    def stop(self, how=signal.SIGTERM):
        """Stops the broker; start() brings it back, its log going on."""
        if self.process and self.process.poll() is None:
            self.process.send_signal(how)
            self.process.wait()

    def options(self, login):
        return ["-h", "127.0.0.1", "-p", str(self.port), "-u", login, "-P", password(login)]

    def publish(self, login, topic, message, retain=False, qos=1, check=True):
        return subprocess.run(["mosquitto_pub", *self.options(login), "-q", str(qos), "-t", topic,
                               "-s"] + (["-r"] if retain else []),
                              input=message.encode() if isinstance(message, str) else message,
                              check=check).returncode

    def granted(self, login, topic_filter):
        """What the broker answers `login` subscribing to `topic_filter`: the granted QoS,
        or 128 for a refusal."""
        out = subprocess.run(["mosquitto_sub", *self.options(login), "-q", "1", "-t",
                              topic_filter, "-d", "-W", "1"], capture_output=True, text=True)
        for line in out.stdout.splitlines():
            if line.startswith("Subscribed"):
                return int(line.rsplit(":", 1)[1])
        raise AssertionError("no answer to subscribing: " + out.stdout + out.stderr)
