"""pravlin_desktop.env: the Gymnasium environment over headless sessions, with real programs."""

import shutil
import warnings

import numpy as np
import pytest

gymnasium = pytest.importorskip("gymnasium")
pytest.importorskip("cv2")

from pravlin_desktop.env import ACTIONS, KEYS, MODIFIERS, DesktopEnv, ProgramError  # noqa: E402

pytestmark = pytest.mark.skipif(shutil.which("sway") is None or shutil.which("foot") is None,
                                reason="needs sway and foot")

SIZE = (640, 360)
FOOT = {"programs": [["foot"]], "outputs": [SIZE]}


def action(name, coordinate=(0, 0), text="", scroll=(0, 0), duration=0.0, start=(0, 0), key="a", modifiers=()):
    return {"action": ACTIONS.index(name), "coordinate": np.array(coordinate, np.int32),
            "start_coordinate": np.array(start, np.int32), "text": text, "key": KEYS.index(key),
            "modifiers": np.array([m in modifiers for m in MODIFIERS], np.int8),
            "scroll": np.array(scroll, np.int32), "duration": np.array(duration, np.float32)}


def prompt_rows(screen):
    """The top of a foot window, where the prompt and typed text are."""
    return screen[:40]


def test_check_env_passes_on_a_terminal():
    from gymnasium.utils.env_checker import check_env

    env = gymnasium.make("pravlin/Desktop-v0", **FOOT)
    try:
        check_env(env.unwrapped, skip_render_check=False)
    finally:
        env.close()


def test_four_async_environments_each_run_their_own_session_and_show_their_actions():
    envs = gymnasium.make_vec("pravlin/Desktop-v0", num_envs=4, vectorization_mode="async", **FOOT)
    try:
        obs, _ = envs.reset(seed=1)
        assert obs["screen"].shape == (4, SIZE[1], SIZE[0], 3)
        # The same action in every environment, with text of its own.
        texts = tuple(f"echo env{i}{'x' * (4 * i)}" for i in range(4))
        batch = {key: np.stack([action("type", text=t)[key] for t in texts]) if key != "text" else texts
                 for key in action("type")}
        after, _, _, _, info = envs.step(batch)
        assert "action_error" not in info, info
        for i in range(4):
            assert not np.array_equal(prompt_rows(after["screen"][i]), prompt_rows(obs["screen"][i])), \
                f"environment {i}: typing changed nothing on its screen"
        # Each screen shows its own text only: four sessions, not one shared.
        shown = [prompt_rows(after["screen"][i]) for i in range(4)]
        assert all(not np.array_equal(shown[i], shown[j]) for i in range(4) for j in range(i + 1, 4))
        pids = envs.get_attr("compositor_pid")
        assert len(set(pids)) == 4, pids
    finally:
        envs.close()


def test_soft_reset_restarts_the_programs_on_the_same_compositor_and_hard_reset_starts_anew():
    with DesktopEnv(**FOOT) as env:
        first, info = env.reset()
        assert info["reset"] == "hard"
        compositor = env.compositor_pid
        typed, *_ = env.step(action("type", text="echo soft reset test"))
        assert not np.array_equal(prompt_rows(typed["screen"]), prompt_rows(first["screen"]))
        env.step(action("left_mouse_down"))

        soft, info = env.reset(options={"soft": True})
        assert info["reset"] == "soft" and env.compositor_pid == compositor
        # A new terminal: the typed line is gone, the pointer back in the middle, the button up.
        np.testing.assert_array_equal(prompt_rows(soft["screen"]), prompt_rows(first["screen"]))
        np.testing.assert_array_equal(soft["pointer"], first["pointer"])

        hard, info = env.reset()
        assert info["reset"] == "hard" and env.compositor_pid != compositor
        np.testing.assert_array_equal(prompt_rows(hard["screen"]), prompt_rows(first["screen"]))


def test_actions_outside_the_space_raise_and_modifiers_are_held_with_keys_clicks_and_scrolls():
    with DesktopEnv(**FOOT, max_steps=3) as env:
        before, _ = env.reset()
        obs, reward, terminated, truncated, info = env.step(action("key", key="x", modifiers=("shift",)))
        assert "action_error" not in info, info
        assert (reward, terminated, truncated) == (0.0, False, False)
        assert not np.array_equal(prompt_rows(obs["screen"]), prompt_rows(before["screen"])), "shift+x typed nothing"
        with pytest.raises(ValueError, match="not in the action space"):
            env.step(action("mouse_move", coordinate=(SIZE[0], 0)))  # one past the right edge
        with pytest.raises(ValueError, match="not in the action space"):
            env.step({**action("type"), "text": "\x00"})
        with pytest.raises(ValueError, match="not in the action space"):
            env.step({**action("key"), "key": len(KEYS)})
        # Clicks and wheel notches with no modifiers, and with one.
        for act in (action("left_click", (20, 20)), action("scroll", (20, 20), modifiers=("shift",), scroll=(0, 2))):
            *_, truncated, info = env.step(act)
            assert "action_error" not in info, info
        assert truncated, "max_steps=3 ends the episode at the third step"


def test_sampled_actions_are_all_performed_and_vector_steps_do_not_warn():
    """A random policy explores: every action sampled from the space is one the desktop performs. No
    program runs, so that no random keys reach a shell."""
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # a sampled 0-d part comes back from the vector as a NumPy scalar
        envs = gymnasium.make_vec("pravlin/Desktop-v0", num_envs=2, vectorization_mode="sync", outputs=[SIZE],
                                  settle=False, max_duration=0.01, text_length=8)
        try:
            envs.action_space.seed(0)
            envs.reset(seed=0)
            errors, kinds = [], set()
            for _ in range(100):
                sampled = envs.action_space.sample()
                *_, info = envs.step(sampled)
                kinds |= {ACTIONS[i] for i in sampled["action"]}
                errors += [e for e in info.get("action_error", ()) if e]
        finally:
            envs.close()
    assert kinds == set(ACTIONS) and not errors, (sorted(set(ACTIONS) - kinds), errors[:5])


def test_settings_are_checked_when_the_environment_is_made():
    env = DesktopEnv(outputs="640x360@144,320x240", refresh=30)
    assert (env._sizes, env._rates) == ([(640, 360), (320, 240)], [144.0, 30.0])
    for settings, words in (({"outputs": "640x"}, "bad output size '640x'"),
                            ({"outputs": [(20000, 10)]}, "from 1 to 16384"),
                            ({"compositor": "weston"}, "unknown compositor 'weston'"),
                            ({"observation_size": (20000, 20000)}, "larger than the layout (1280x720)"),
                            ({"max_duration": 1e9}, "max_duration is at most 100 seconds"),
                            ({"max_scroll": 10 ** 9}, "max_scroll is a whole number from 1 to 100"),
                            ({"text_length": 10 ** 9}, "text_length is a whole number from 1 to 10000"),
                            ({"refresh": "fast"}, "bad refresh rate 'fast'")):
        with pytest.raises(ValueError, match=words.replace("(", r"\(").replace(")", r"\)")):
            DesktopEnv(**settings)


def test_reward_and_termination_come_from_the_callables():
    seen = []

    def reward(env, observation, act):
        seen.append(ACTIONS[act["action"]])
        return float(observation["pointer"][0])

    with DesktopEnv(**FOOT, reward=reward, terminated=lambda env, obs, act: env.steps >= 2) as env:
        env.reset()
        _, r, done, _, _ = env.step(action("mouse_move", coordinate=(100, 50)))
        assert (r, done) == (100.0, False)
        _, r, done, _, _ = env.step(action("mouse_move", coordinate=(7, 50)))
        assert (r, done) == (7.0, True)
        assert seen == ["mouse_move", "mouse_move"]


def test_two_outputs_at_their_rates_scaled_observation_maps_points_both_ways():
    with DesktopEnv(outputs=[(640, 360, 120), (320, 240)], refresh=30, observation_size=(480, 180),
                    settle=False) as env:
        obs, _ = env.reset()
        assert [o.refresh for o in env.session.outputs] == [120, 30]
        assert obs["screen"].shape == (180, 480, 3)
        assert env.render().shape == (360, 960, 3)
        for x, y in ((0, 0), (479, 119), (321, 60), (319, 179)):
            obs, *_, info = env.step(action("mouse_move", coordinate=(x, y)))
            assert "action_error" not in info
            np.testing.assert_array_equal(obs["pointer"], (x, y))
        # Below the second, shorter output is no screen: the move is refused, nothing else happens.
        _, *_, info = env.step(action("mouse_move", coordinate=(400, 170)))
        assert "on no screen" in info["action_error"]


def test_a_program_that_fails_to_start_is_reported_with_its_output():
    env = DesktopEnv(programs=[["sh", "-c", "echo no display for me >&2; exit 3"]], outputs=[SIZE])
    with pytest.raises(ProgramError, match=r"exited with status 3 (.|\n)*no display for me"):
        env.reset()
    assert env.session is None and env.compositor_pid is None, "a failed reset leaves nothing running"
    env.close()


def test_a_soft_reset_after_the_agent_ended_the_program_starts_it_again():
    with DesktopEnv(**FOOT, soft_reset=True) as env:
        first, _ = env.reset()
        (pid,) = env.program_pids
        env.step(action("type", text="exit\n"))
        obs, info = env.reset()
        assert info["reset"] == "soft" and env.program_pids != (pid,)
        np.testing.assert_array_equal(prompt_rows(obs["screen"]), prompt_rows(first["screen"]))
