"""pravlin_desktop.env: the Gymnasium environment over headless sessions, with real programs."""

import shutil

import numpy as np
import pytest

gymnasium = pytest.importorskip("gymnasium")
pytest.importorskip("cv2")

from pravlin_desktop.env import ACTIONS, DesktopEnv, ProgramError  # noqa: E402

pytestmark = pytest.mark.skipif(shutil.which("sway") is None or shutil.which("foot") is None,
                                reason="needs sway and foot")

SIZE = (640, 360)
FOOT = {"programs": [["foot"]], "outputs": [SIZE]}


def action(name, coordinate=(0, 0), text="", scroll=(0, 0), duration=0.0, start=(0, 0)):
    return {"action": ACTIONS.index(name), "coordinate": np.array(coordinate, np.int32),
            "start_coordinate": np.array(start, np.int32), "text": text,
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


def test_actions_the_desktop_cannot_perform_are_reported_and_actions_outside_the_space_raise():
    with DesktopEnv(**FOOT, max_steps=3) as env:
        before, _ = env.reset()
        obs, reward, terminated, truncated, info = env.step(action("key", text="ctrl+nosuchkey"))
        assert "nosuchkey" in info["action_error"]
        assert (reward, terminated, truncated) == (0.0, False, False)
        np.testing.assert_array_equal(prompt_rows(obs["screen"]), prompt_rows(before["screen"]))
        with pytest.raises(ValueError, match="not in the action space"):
            env.step(action("mouse_move", coordinate=(SIZE[0], 0)))  # one past the right edge
        with pytest.raises(ValueError, match="not in the action space"):
            env.step({**action("type"), "text": "\x00"})
        # Clicks and wheel notches with no modifiers ("text" empty), and with one.
        for act in (action("left_click", (20, 20)), action("scroll", (20, 20), text="shift", scroll=(0, 2))):
            *_, truncated, info = env.step(act)
            assert "action_error" not in info, info
        assert truncated, "max_steps=3 ends the episode at the third step"


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
