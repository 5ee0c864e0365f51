"""The test bed: everything the integration suites, the soak, the package
test, the bench and the demo start around the module, in one place.

- apache: Debian's apache2 with the built module in a server root of its own.
- scripted: the scripted check server, which answers what a test scripts.
- standin: the stand-in check server (vornex-check-server) as a process.
- backends: HTTP and WebSocket backends behind mod_proxy.
- php: PHP-FPM pools and the configuration for PHP deployments.
- client: a raw HTTP/1.1 client.
- bodies: request bodies and the scripts that echo them.
- net, process: loopback ports and servers; processes and /proc.
- machine: what the machine is, its load, and CPU placement for benchmarks.
- build: where the source tree, the module and the build directory are.
- suite: the runner and base test case of the integration suites.

Entry points put the repository root on sys.path themselves and import the
modules they need, e.g. `from testbed.client import request`.
"""
