"""The board as the simulated driver sees it: start-up sequence, buttons and LEDs."""
import os
import re
import time


def board_state(daemon):
    ok, lines = daemon.simctl("board")
    assert ok, lines
    return lines


def wait_initialised(daemon):
    """The GPio task has finished its light sequence once it wrote the press times."""
    daemon.wait_for(lambda: any(re.match(r"^board_buttons 0x1 press_ms 5000 5050$", l) for l in board_state(daemon)),
                    timeout=60, what="the button set-up of the board start-up")


def test_start_up_sets_buttons_and_status_led(daemon):
    daemon.start()
    wait_initialised(daemon)
    state = board_state(daemon)
    # The status LED (line 1: status code 2) blinks after the start-up sequence.
    assert "board_led 0.1 blink 250" in state, state
    # No port LED stays lit from the light sequence.
    assert not [l for l in state if re.match(r"^board_led 0\.(8|9|10|11) on$", l)], state


def test_long_button_press_resets_parameters_and_restarts_cold(daemon, root):
    daemon.start()
    wait_initialised(daemon)
    assert os.path.exists(root.file("/etc/params.dat"))
    ok, lines = daemon.simctl("button", "long", "0")
    assert ok and lines[0] == "delivered 1", lines
    daemon.wait_for(lambda: daemon.proc.poll() is not None, timeout=60, what="the restart")
    assert daemon.proc.returncode == 2, daemon.output()
    assert not os.path.exists(root.file("/etc/params.dat"))


def test_board_commands_refuse_garbage_and_daemon_survives(daemon):
    daemon.start()
    for words in (["button", "press", "9"], ["power-input", "7", "on"], ["inject", "gpio", "x", "1"],
                  ["ticks", "advance", "-1"]):
        ok, lines = daemon.simctl(*words)
        assert not ok and lines[-1].startswith("ERR"), (words, lines)
    ok, lines = daemon.simctl("ticks", "advance", "100")
    assert ok and lines[0].startswith("ticks "), lines
    assert daemon.proc.poll() is None


def test_board_ticks_count_from_the_daemons_start(daemon):
    """The board powers up with the daemon: its counter reads the time since then, not
    the host's uptime."""
    launched = time.monotonic()
    daemon.start()
    ok, lines = daemon.simctl("ticks")
    elapsed = time.monotonic() - launched
    assert ok and lines[0].startswith("ticks "), lines
    ticks = int(lines[0].split()[1])
    assert 0 <= ticks <= elapsed * 100 + 1, (ticks, elapsed)
