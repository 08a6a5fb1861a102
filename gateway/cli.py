"""The gateway's command line: start the configured MCP servers and answer GraphQL queries.

Examples:
  python3 -m gateway
  python3 -m gateway '{ toolbox_add(numbers: [1, 2]) { json } }'
  python3 -m gateway 'query ($p: String!) { files_read_text_file(path: $p) { text } }' \\
      --variables '{"p": "hello.txt"}'
  printf '{ toolbox_now { json } }\\n\\n{ memory_read_graph { json } }\\n' | python3 -m gateway -
  python3 -m gateway --schema                   # the schema in GraphQL's SDL
  python3 -m gateway --config ~/my-servers.json '{ servers { name toolCount } }'
  python3 -m gateway --serve 127.0.0.1:8000     # GraphQL over HTTP at /graphql, GraphiQL for a browser
  python3 -m gateway --serve 0.0.0.0:8000 --token-file ~/.gateway-token --read-only
  python3 -m gateway --mcp                      # an MCP server on standard input and output
  ziri-gateway --serve 127.0.0.1:8000 --metrics 127.0.0.1:9464 --log-format json
  python3 -m gateway login tracker --config servers.json   # sign in to a server that asks for OAuth
"""

import argparse
import asyncio
import io
import json
import logging
import os
import signal
import sys
import threading
import time
from collections.abc import AsyncIterator, Awaitable, Callable, Iterable, Iterator
from pathlib import Path
from typing import TYPE_CHECKING, Any
from urllib.parse import urlsplit

from .access import TOKEN_VARIABLE, Access, AccessError, check_cors_origin, load_token, require_token_off_loopback
from .access_log import AccessLog, access_logger
from .budget import DEFAULT_REPLY_BYTES
from .config import (
    BUNDLED,
    DEFAULT_BATCH_LIMIT,
    DEFAULT_BODY_LIMIT,
    DEFAULT_NPM_DIR,
    DEFAULT_RESULT_LIMIT,
    NPM_DIR_VARIABLE,
    ServerConfig,
    load_config,
)
from .identity import PROGRAM, version
from .limits import (
    DEFAULT_COST_LIMIT,
    DEFAULT_FANOUT_LIMIT,
    DEFAULT_FIELD_LIMIT,
    DEFAULT_QUERY_LIMIT,
    DEFAULT_RESPONSE_LIMIT,
    Limits,
)
from .logs import configure_logging, say
from .observe import Observer
from .offer import Offer, OfferError
from .persisted import DEFAULT_STORE_BYTES
from .pinning import Pins
from .supervision import FIRST_WAIT, HEALTHY_AFTER, MOST_WAIT, PING_EVERY, Supervision

if TYPE_CHECKING:
    import socket

    from .admission import AdmissionLimits
    from .connections import ConnectionLimits
    from .http import WebOptions
    from .lifecycle import Gateway

DEFAULT_QUERY = """\
query Overview($dir: String!, $a: Float!, $b: Float!) {
  __typename
  servers { name description toolCount readOnlyCount }
  search { field readOnly }
  sum: toolbox_add(numbers: [1, 2, 3.5]) { isError json }
  ratio: toolbox_divide(a: $a, b: $b) { isError json }
  words: toolbox_word_count(text: "the quick brown fox") { isError json }
  here: files_list_directory(path: $dir) { isError text }
  graph: memory_read_graph { isError json }
}"""
DEFAULT_VARIABLES: dict[str, Any] = {"dir": ".", "a": 22, "b": 7}

logger = logging.getLogger(__name__)


def query_blocks(lines: Iterable[str]) -> Iterator[str]:
    """Yield each blank-line-separated block as soon as it is complete."""
    block: list[str] = []
    for line in lines:
        if line.strip():
            block.append(line)
        elif block:
            yield "".join(block)
            block = []
    if block:
        yield "".join(block)


def positive(kind: type) -> Any:
    def parse(text: str) -> Any:
        value = kind(text)
        if not value > 0:
            raise argparse.ArgumentTypeError("must be greater than 0")
        return value
    return parse


def parse_args(argv: list[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        prog=PROGRAM, description="Serve the tools of MCP servers as one GraphQL schema. "
                                    f"`{PROGRAM} login SERVER` signs in to a server that asks for OAuth "
                                    f"(see `{PROGRAM} login --help`).",
        epilog="A failed tool call shows up as its field's value, {\"isError\": true, ...}, and "
               "does not change the exit status. Exit status: 0 when every response had no "
               "errors, 1 when a response carried GraphQL errors, 2 for bad arguments or "
               "configuration, 130 on Ctrl-C, 143 on SIGTERM.")
    parser.add_argument("--version", action="version", version=f"{PROGRAM} {version()}")
    parser.add_argument("query", nargs="?",
                        help="GraphQL query; '-' reads queries from standard input, one per "
                             "blank-line-separated block; default: a tour of the bundled servers")
    parser.add_argument("--variables", metavar="JSON", help="variables as a JSON object")
    parser.add_argument("--operation", metavar="NAME", help="the operation to run, when the query holds several")
    parser.add_argument("--schema", action="store_true",
                        help="print the GraphQL schema of the configured servers' tools (SDL) and exit")
    parser.add_argument("--config", metavar="FILE", type=Path, default=BUNDLED,
                        help="MCP servers as {\"mcpServers\": {...}} (default: the bundled ones)")
    parser.add_argument("--timeout", metavar="SECONDS", type=positive(float), default=30.0,
                        help="time limit of one tool call (default: %(default)g)")
    parser.add_argument("--start-timeout", metavar="SECONDS", type=positive(float), default=30.0,
                        help="time a server has to start and list its tools (default: %(default)g)")
    parser.add_argument("--max-result", metavar="BYTES", type=positive(int), default=DEFAULT_RESULT_LIMIT,
                        help="largest reply of one field, in bytes of its JSON; a larger result fails "
                             "its field (default: %(default)s)")
    parser.add_argument("--log-level", metavar="LEVEL", default="warning", type=str.lower,
                        choices=["debug", "info", "warning", "error"],
                        help="what the log on standard error shows: servers' own log messages and "
                             "progress come at their level (info for progress); servers that take "
                             "logging/setLevel are asked for this level (default: %(default)s)")
    parser.add_argument("--timing", action="store_true",
                        help="report on standard error how long each query took")
    parser.add_argument("--log-format", choices=("text", "json"), default="text",
                        help="log lines on standard error as text or as JSON objects, each with the trace id "
                             "of its request when tracing (OTEL_* variables) is on (default: %(default)s)")
    keeping = parser.add_argument_group("servers that go down, tools that change")
    keeping.add_argument("--restart-wait", metavar="SECONDS", type=positive(float), default=FIRST_WAIT,
                         help="wait before a server that went down is started (or reconnected) again; it "
                              "doubles with every failure, with random jitter (default: %(default)g)")
    keeping.add_argument("--restart-most", metavar="SECONDS", type=positive(float), default=MOST_WAIT,
                         help="the longest wait between attempts (default: %(default)g)")
    keeping.add_argument("--healthy-after", metavar="SECONDS", type=positive(float), default=HEALTHY_AFTER,
                         help="time up after which the waits start over (default: %(default)g)")
    keeping.add_argument("--ping-every", metavar="SECONDS", type=positive(float), default=PING_EVERY,
                         help="interval of the ping that checks a remote server (default: %(default)g)")
    keeping.add_argument("--no-restart", action="store_true", help="a server that goes down stays down")
    keeping.add_argument("--pin", metavar="FILE", type=Path,
                         help="offer a tool only while its definition (description, schemas, annotations) is "
                              "the one pinned in FILE; a changed or new tool is withheld and logged. A server "
                              "not in FILE yet is pinned as it is listed (default: no pinning)")
    keeping.add_argument("--repin", action="store_true",
                         help="with --pin: pin every tool again as it is listed now")
    offering = parser.add_argument_group("what is offered (both modes)")
    offering.add_argument("--read-only", action="store_true",
                          help="offer only the read-only tools: every other tool is an unknown field")
    offering.add_argument("--allow", metavar="SERVER[.TOOL]|FIELD", action="append", default=[],
                          help="offer only these servers or tools, a tool named as SERVER.TOOL or by its "
                               "field name (repeatable; an entry that names nothing stops the start)")
    offering.add_argument("--deny", metavar="SERVER[.TOOL]|FIELD", action="append", default=[],
                          help="never offer these servers or tools (repeatable; wins over --allow)")
    mcp = parser.add_argument_group("MCP server (tools graphql and schema)")
    mcp.add_argument("--mcp", action="store_true",
                     help="serve MCP on standard input and output, for a client that starts the gateway "
                          "(with --serve it is always at /mcp)")
    mcp.add_argument("--mcp-tools", action="store_true",
                     help="also serve every offered tool under its field name, one call per tool")
    mcp.add_argument("--mcp-sessions", action="store_true",
                     help="with --serve: /mcp keeps a session per client (tied to this process) and tells "
                          "it when the tools change; without it /mcp is stateless and a client lists again")
    serving = parser.add_argument_group("GraphQL over HTTP")
    serving.add_argument("--serve", metavar="[HOST:]PORT", nargs="?", const="127.0.0.1:8000",
                         help="serve POST and GET at /graphql and GET /health instead of answering "
                              "a query (default address: %(const)s)")
    serving.add_argument("--query-threads", metavar="N", type=positive(int), default=16,
                         help="queries that run at once; more wait their turn (default: %(default)s)")
    serving.add_argument("--max-body", metavar="BYTES", type=positive(int), default=DEFAULT_BODY_LIMIT,
                         help="largest request body (default: %(default)s)")
    serving.add_argument("--grace", metavar="SECONDS", type=positive(int), default=10,
                         help="on SIGTERM or Ctrl-C, time running requests get to finish "
                              "(default: %(default)g)")
    serving.add_argument("--token-file", metavar="FILE", type=Path,
                         help=f"require Authorization: Bearer <the token in FILE> at /graphql (or set "
                              f"{TOKEN_VARIABLE}); without one only loopback addresses are served")
    serving.add_argument("--cors-origin", metavar="ORIGIN",
                         help="let pages of this one origin (e.g. https://app.example) call the gateway "
                              "from a browser (default: no CORS headers)")
    serving.add_argument("--max-query", metavar="BYTES", type=positive(int), default=DEFAULT_QUERY_LIMIT,
                         help="longest query text (default: %(default)s)")
    serving.add_argument("--max-fields", metavar="N", type=positive(int), default=DEFAULT_FIELD_LIMIT,
                         help="most top-level fields in one request (default: %(default)s)")
    serving.add_argument("--max-cost", metavar="N", type=positive(int), default=DEFAULT_COST_LIMIT,
                         help="most fields one answer may hold, a list's selection counted once per item "
                              "(search: per tool; introspection: per type, field, argument); priced "
                              "before any work (default: %(default)s)")
    serving.add_argument("--max-response", metavar="BYTES", type=positive(int), default=DEFAULT_RESPONSE_LIMIT,
                         help="most bytes of one answer, counted as it is built (default: %(default)s)")
    serving.add_argument("--max-replies", metavar="BYTES", type=positive(int), default=DEFAULT_REPLY_BYTES,
                         help="tool replies held at once for queries in flight; a reply past it fails its "
                              "field (default: %(default)s)")
    serving.add_argument("--query-queue", metavar="N", type=positive(int),
                         help="queries that may wait for a query thread; more are 503 (default: 4 per thread)")
    serving.add_argument("--client-queries", metavar="N", type=positive(int),
                         help="queries one client address may have running or waiting; more are 429 "
                              "(default: half of --query-threads)")
    serving.add_argument("--max-connections", metavar="N", type=positive(int),
                         help="open connections; one more closes the longest idle one, or is 503 when "
                              "none is idle (default: 2048, or less if the descriptor limit says so)")
    serving.add_argument("--header-timeout", metavar="SECONDS", type=positive(float), default=10.0,
                         help="time a connection has to send a request's head (default: %(default)g)")
    serving.add_argument("--idle-timeout", metavar="SECONDS", type=positive(int), default=5,
                         help="time a kept-alive connection may wait for its next request "
                              "(default: %(default)g)")
    serving.add_argument("--forwarded-allow-ips", metavar="IPS",
                         help="believe X-Forwarded-For/-Proto from these proxy addresses (comma-separated); "
                              "by default from nobody, and the log shows the connecting address")
    serving.add_argument("--max-fanout", metavar="BYTES", type=positive(int), default=DEFAULT_FANOUT_LIMIT,
                         help="most bytes of tool-call arguments one request sends out, variables "
                              "counted at every use (default: %(default)s)")
    serving.add_argument("--max-batch", metavar="N", type=positive(int), default=DEFAULT_BATCH_LIMIT,
                         help="most requests in one batch, a JSON array body (default: %(default)s)")
    serving.add_argument("--persisted-bytes", metavar="BYTES", type=positive(int), default=DEFAULT_STORE_BYTES,
                         help="memory for automatic persisted queries; the least recently used go "
                              "first (default: %(default)s)")
    serving.add_argument("--npm-dir", metavar="DIR", type=Path,
                         help=f"the npm folder GraphiQL is served from (default: ${NPM_DIR_VARIABLE}, "
                              f"else {DEFAULT_NPM_DIR}); without it GET /graphql shows no IDE")
    serving.add_argument("--metrics", metavar="[HOST:]PORT",
                         help="serve GET /metrics (Prometheus) on this address alone: without a token on "
                              "loopback, under the gateway's token elsewhere (default: at /metrics beside "
                              "/graphql, under its token)")
    args = parser.parse_args(argv)
    if args.serve is not None and args.query is not None:
        parser.error("give a query or --serve, not both")
    if args.mcp and (args.serve is not None or args.query is not None or args.schema):
        parser.error("--mcp serves MCP on standard input and output: give no query, --serve or --schema")
    if args.schema and (args.serve is not None or args.query is not None):
        parser.error("--schema prints the schema only: give no query and no --serve")
    if args.serve is not None and ":" not in args.serve:
        args.serve = f"127.0.0.1:{args.serve}"
    if args.metrics is not None and args.serve is None:
        parser.error("--metrics goes with --serve")
    return args


def main(argv: list[str] | None = None) -> int:
    argv = sys.argv[1:] if argv is None else argv
    for stream in (sys.stdout, sys.stderr):  # answers hold any text: UTF-8 whatever the locale says
        if isinstance(stream, io.TextIOWrapper):
            stream.reconfigure(encoding="utf-8")
    if argv[:1] == ["login"]:
        return login(argv[1:])
    args = parse_args(argv)
    configure_logging(args.log_format, args.log_level)
    try:
        configs = load_config(args.config)
        variables = json.loads(args.variables) if args.variables else None
        if variables is not None and not isinstance(variables, dict):
            raise ValueError("--variables must be a JSON object")
        offer = Offer.of(read_only=args.read_only, allow=args.allow, deny=args.deny)
        if unknown := offer.unknown_servers(c.name for c in configs):
            raise ValueError(f"--allow/--deny name no configured server: {', '.join(unknown)}")
        token = load_token(args.token_file) if args.serve is not None else None
        if args.cors_origin is not None:
            check_cors_origin(args.cors_origin)
        args.pins = _pins(args)  # read here: a lock file that cannot be read stops the start
        observer = Observer.from_environ(metrics=args.serve is not None)
    except ValueError as exc:
        logger.error("%s", exc)
        return 2
    if args.serve is not None:
        from .admission import AdmissionLimits
        from .connections import ConnectionLimits, LimitError
        from .http import listening_socket, split_address
        connections = ConnectionLimits(args.max_connections or 0, args.header_timeout, args.idle_timeout)
        try:
            require_token_off_loopback(split_address(args.serve)[0], token)  # before anything is bound
            connections.connections()  # a cap the descriptor limit cannot hold stops the start
            if args.metrics is not None:
                require_token_off_loopback(split_address(args.metrics)[0], token)
        except (AccessError, LimitError) as exc:
            logger.error("%s", exc)
            return 2
        try:
            sock = listening_socket(args.serve)
        except (OSError, ValueError) as exc:
            logger.error("cannot listen on %s: %s", args.serve, exc)
            return 2
        try:
            metrics_sock = listening_socket(args.metrics) if args.metrics is not None else None
        except (OSError, ValueError) as exc:
            sock.close()
            logger.error("cannot listen on %s: %s", args.metrics, exc)
            return 2
        log = AccessLog() if args.log_format == "text" else access_logger()
        access = Access(token=token, cors_origin=args.cors_origin, limits=_limits(args), log=log,
                        forwarded_allow_ips=args.forwarded_allow_ips)
        admission = AdmissionLimits(args.query_queue or 0, args.client_queries or 0)
        try:
            web = _web_options(args)
        except ValueError as exc:
            sock.close()
            logger.error("%s", exc)
            return 2
        try:
            return _run(args, configs, offer,
                        lambda gateway: _serve(args, gateway, access, sock, connections, admission, web,
                                               metrics_sock),
                        farewell="stopped", query_threads=args.query_threads,
                        call_log=access.log, limits=access.limits, reply_bytes=args.max_replies,
                        observer=observer)
        finally:
            sock.close()
            if metrics_sock is not None:
                metrics_sock.close()
    if args.schema:
        return asyncio.run(_print_schema(args, configs, offer))
    if args.mcp:
        return _run(args, configs, offer, lambda gateway: _serve_mcp(args, gateway),
                    query_threads=args.query_threads, limits=_limits(args), observer=observer)
    if args.query is None:
        queries: Iterable[str] = [DEFAULT_QUERY]
        variables = DEFAULT_VARIABLES if variables is None else variables
    else:
        queries = query_blocks(sys.stdin) if args.query == "-" else [args.query]
    return _run(args, configs, offer, lambda gateway: _answer_all(args, gateway, queries, variables),
                limits=_limits(args), observer=observer)


def login(argv: list[str]) -> int:
    """`gateway login SERVER`: the authorization code flow for one server, its tokens kept for the serving gateway."""
    from .auth import SIGN_IN_SECONDS, TOKEN_DIR_VARIABLE, token_dir
    parser = argparse.ArgumentParser(
        prog=f"{PROGRAM} login",
        description="Sign in to a remote MCP server whose entry has \"auth\" (the authorization code flow "
                    "with PKCE): open the page it prints, sign in, and the gateway keeps the tokens, which "
                    "the serving gateway then uses and refreshes.",
        epilog=f"The tokens are kept in {token_dir()} (${TOKEN_DIR_VARIABLE} moves it), one file per server "
               "that only its owner can read. Exit status: 0 signed in, 1 not, 2 bad arguments or configuration.")
    parser.add_argument("server", help="the server's name in the configuration")
    parser.add_argument("--config", metavar="FILE", type=Path, default=BUNDLED,
                        help="MCP servers as {\"mcpServers\": {...}} (default: the bundled ones)")
    parser.add_argument("--no-browser", action="store_true",
                        help="only print the page to open (a browser is opened where $BROWSER or a display is set)")
    parser.add_argument("--timeout", metavar="SECONDS", type=positive(float), default=SIGN_IN_SECONDS,
                        help="time to finish signing in (default: %(default)g)")
    args = parser.parse_args(argv)
    configure_logging("text", "warning")
    try:
        config = next((c for c in load_config(args.config) if c.name == args.server), None)
        if config is None:
            raise ValueError(f"{args.config} names no server {args.server!r}")
        if config.problem is not None:
            raise ValueError(f"server {config.name!r}: {config.problem}")
        if config.auth is None or config.auth.flow != "authorization_code":
            raise ValueError(f"server {config.name!r} has no \"auth\" of the authorization_code flow: "
                             "there is nothing to sign in to")
    except ValueError as exc:
        print(f"gateway: {exc}", file=sys.stderr)
        return 2
    try:
        return asyncio.run(_login(config, args.timeout, browser=not args.no_browser))
    except KeyboardInterrupt:
        return 130


async def _login(config: ServerConfig, timeout: float, *, browser: bool) -> int:
    from .auth import SignIn, TokenFile, TokenFileError
    from .upstream import Upstream

    async def show(url: str) -> None:
        print(f"To sign in to {config.name!r}, open:\n\n  {url}\n", flush=True)
        if browser and (os.environ.get("BROWSER") or os.environ.get("DISPLAY") or os.environ.get("WAYLAND_DISPLAY")
                        or sys.platform in ("darwin", "win32")):
            import webbrowser
            await asyncio.to_thread(webbrowser.open, url)

    store = TokenFile.of(config)
    assert config.auth is not None
    try:
        before = store.read().get("tokens")
        client = await store.get_client_info()
        # A client registered at an earlier sign-in came back to its own port: it comes back there again.
        registered = urlsplit(str(client.redirect_uris[0])).port if client and client.redirect_uris else None
        sign_in = SignIn(show, port=config.auth.callback_port or registered or 0, timeout=timeout, fresh=True)
    except (TokenFileError, OSError) as exc:
        print(f"gateway: {exc}", file=sys.stderr)
        return 1
    with sign_in:
        upstream = Upstream(config, Supervision(restart=False), start_timeout=timeout, sign_in=sign_in)
        try:
            upstream.start()
            up = await upstream.started(timeout)
        finally:
            await upstream.close(5.0)
    if not up:
        return 1  # the server's failure is in the log; tokens stored before are left as they were
    if store.read().get("tokens") in (None, before):
        print(f"{config.name!r} asked for no sign-in: nothing was kept")
        return 0
    print(f"Signed in to {config.name!r} ({len(upstream.tools)} tools); the tokens are kept in {store.path}")
    return 0


def _limits(args: argparse.Namespace) -> Limits:
    return Limits(args.max_query, args.max_fields, args.max_fanout, args.max_cost, args.max_response)


def _pins(args: argparse.Namespace) -> Pins | None:
    if args.pin is None:
        if args.repin:
            raise ValueError("--repin needs --pin FILE")
        return None
    pins = Pins.load(args.pin)
    if args.repin:
        pins.repin()
    return pins


def _supervision(args: argparse.Namespace) -> Supervision:
    return Supervision(first_wait=args.restart_wait, most_wait=max(args.restart_most, args.restart_wait),
                       healthy_after=args.healthy_after, ping_every=args.ping_every, restart=not args.no_restart)


async def _print_schema(args: argparse.Namespace, configs: list[ServerConfig], offer: Offer) -> int:
    from .lifecycle import Gateway

    async with Gateway(configs, call_timeout=args.timeout, start_timeout=args.start_timeout,
                       offer=offer, pins=args.pins) as gateway:
        generation = gateway.generation
        assert generation is not None
        print(generation.schema.sdl(), flush=True)
    return 0


INTERRUPTED = "interrupted"  # the main task's cancel message on Ctrl-C


def _run(args: argparse.Namespace, configs: list[ServerConfig], offer: Offer,
         work: Callable[[Gateway], Awaitable[int]], farewell: str | None = None,
         **options: Any) -> int:
    """Starts the gateway, runs `work` on it and gives the exit status, for both modes.

    2 when an --allow/--deny entry names nothing the servers listed, or servers
    were configured and none started; 143 on SIGTERM and 130 on Ctrl-C (128 +
    the signal's number, as shells report a death by signal), each with a line
    on standard error; otherwise what `work` returned, and then `farewell` is
    said once the gateway has closed.
    """
    from .connections import loop_factory

    try:
        return asyncio.run(_with_gateway(args, configs, offer, work, farewell, options), loop_factory=loop_factory())
    except OfferError as exc:  # known only once the servers have listed their tools
        logger.error("%s", exc)
        return 2
    except asyncio.CancelledError as exc:  # SIGTERM or Ctrl-C: their handlers cancel the main task
        if exc.args == (INTERRUPTED,):
            say("interrupted")
            return 130
        say("terminated")
        return 143
    except KeyboardInterrupt:
        say("interrupted")
        return 130
    except BrokenPipeError:  # `ziri-gateway ... | head`: the reader left, as shells expect of a pipe
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())  # the exit's flush has nowhere to fail
        return 141


async def _with_gateway(args: argparse.Namespace, configs: list[ServerConfig], offer: Offer,
                        work: Callable[[Gateway], Awaitable[int]], farewell: str | None,
                        options: dict[str, Any]) -> int:
    from .lifecycle import Gateway

    loop = asyncio.get_running_loop()
    main_task = asyncio.current_task()
    assert main_task is not None
    # SIGTERM and Ctrl-C cancel whatever the main task awaits, the servers' start included.
    # Ctrl-C gets a handler of the loop's own, as SIGTERM does, which asyncio's loop and uvloop's
    # both run from the loop, rather than asyncio.run's handler of the interpreter.
    loop.add_signal_handler(signal.SIGTERM, main_task.cancel)
    loop.add_signal_handler(signal.SIGINT, main_task.cancel, INTERRUPTED)
    async with Gateway(configs, call_timeout=args.timeout, start_timeout=args.start_timeout,
                       offer=offer, max_result_bytes=args.max_result, supervision=_supervision(args),
                       pins=args.pins, **options) as gateway:
        if configs and not any(u.up for u in gateway.upstreams.values()):
            logger.error("no MCP server started")
            return 2
        status = await work(gateway)
    if farewell:
        say(farewell)
    return status


async def _answer_all(args: argparse.Namespace, gateway: Gateway, queries: Iterable[str],
                      variables: dict[str, Any] | None) -> int:
    """Prints each query's response in order; 1 when any carried GraphQL errors."""
    had_errors = False
    async for number, query in _numbered(queries):
        started = time.perf_counter()
        running = asyncio.ensure_future(gateway.execute(query, variables, args.operation))
        try:
            text = await asyncio.shield(running)
        except asyncio.CancelledError:
            # Ctrl-C or SIGTERM: the close detaches the bridge, so the
            # query in flight returns, its waiting fields failed; print it.
            await gateway.close()
            print(json.dumps(json.loads(await running), indent=2, ensure_ascii=False), flush=True)
            raise
        response = json.loads(text)
        elapsed_ms = (time.perf_counter() - started) * 1000
        print(json.dumps(response, indent=2, ensure_ascii=False), flush=True)
        if args.timing:
            print(f"query {number}: {elapsed_ms:.1f} ms", file=sys.stderr, flush=True)
        had_errors |= bool(response.get("errors"))
    return 1 if had_errors else 0


def _web_options(args: argparse.Namespace) -> WebOptions:
    """Batches, persisted queries and GraphiQL as the flags ask. GraphiQL's files missing from a
    folder the user named stops the start; missing from the default folder, the IDE is off."""
    from .graphiql import AssetsMissing, GraphiQL, npm_dir
    from .http import WebOptions

    named = args.npm_dir is not None or bool(os.environ.get(NPM_DIR_VARIABLE))
    try:
        graphiql: GraphiQL | None = GraphiQL.load(npm_dir(args.npm_dir))
    except AssetsMissing as exc:
        if named:
            raise ValueError(str(exc)) from None
        logger.warning("%s; GET /graphql shows no IDE", exc)
        graphiql = None
    return WebOptions(batch_limit=args.max_batch, persisted_bytes=args.persisted_bytes, graphiql=graphiql,
                      mcp_tools=args.mcp_tools, mcp_sessions=args.mcp_sessions)


async def _serve(args: argparse.Namespace, gateway: Gateway, access: Access, sock: socket.socket,
                 connections: ConnectionLimits, admission: AdmissionLimits, web: WebOptions,
                 metrics_sock: socket.socket | None) -> int:
    """Serves HTTP until a signal ends it gracefully."""
    from .http import serve

    asyncio.get_running_loop().add_signal_handler(signal.SIGHUP, _reload, gateway, args.config)
    await serve(gateway, sock, grace_seconds=args.grace, body_limit=args.max_body, access=access,
                connections=connections, admission=admission, web=web, metrics_sock=metrics_sock)
    return 0


def _reload(gateway: Gateway, path: Path) -> None:
    """SIGHUP: the configuration read again; one that does not load leaves the running one serving."""
    try:
        configs = load_config(path)
    except ValueError as exc:
        logger.error("the configuration was not reloaded, the running one keeps serving: %s", exc)
        return
    reloading = asyncio.ensure_future(gateway.reload(configs))
    _reloads.add(reloading)
    reloading.add_done_callback(_reloads.discard)


_reloads: set[asyncio.Future[None]] = set()  # reloads in progress, kept from the garbage collector


async def _serve_mcp(args: argparse.Namespace, gateway: Gateway) -> int:
    """MCP on standard input and output until the client closes it; standard output carries
    nothing else, and what the gateway reports goes to standard error."""
    from .mcp_server import McpFace

    asyncio.get_running_loop().add_signal_handler(signal.SIGHUP, _reload, gateway, args.config)
    await McpFace(gateway, relay_tools=args.mcp_tools).run_stdio()
    return 0


async def _numbered(queries: Iterable[str]) -> AsyncIterator[tuple[int, str]]:
    """The queries, read on a daemon thread: a read of standard input must not delay an exit."""
    loop = asyncio.get_running_loop()
    inbox: asyncio.Queue[str | None] = asyncio.Queue()

    def read() -> None:
        try:
            for query in queries:
                loop.call_soon_threadsafe(inbox.put_nowait, query)
        finally:
            loop.call_soon_threadsafe(inbox.put_nowait, None)

    threading.Thread(target=read, name="queries", daemon=True).start()
    number = 0
    while (query := await inbox.get()) is not None:
        number += 1
        yield number, query
