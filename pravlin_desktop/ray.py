"""Desktops across machines with Ray: an actor per desktop, placed by a custom resource "desktop".

    import ray
    from pravlin_desktop.ray import DesktopEnvActor

    ray.init(address="auto")     # nodes started with: ray start ... --resources='{"desktop": 8}'
    actors = [DesktopEnvActor.remote({"programs": [["foot"]]}) for _ in range(16)]
    firsts = ray.get([a.reset.remote(seed=i) for i, a in enumerate(actors)])
    results = ray.get([a.step.remote(action) for a in actors])

Each actor asks for one unit of "desktop" and no CPU of the scheduler's count (its session's
processes are the desktop's cost; `DesktopEnvActor.options(num_cpus=...)` declares more), so a node
runs as many desktops as it declares. For RLlib, `register_rllib_env()` registers the environment
under a name that `config.environment(name, env_config={...})` takes, with the same configuration
as DesktopEnv; give env runners `custom_resources_per_env_runner={"desktop": 1}`.
"""

from __future__ import annotations

import os
import socket
from collections.abc import Callable, Mapping
from typing import Any

import ray

from .env import DesktopEnv

__all__ = ["DesktopEnvActor", "register_rllib_env"]


@ray.remote(num_cpus=0, resources={"desktop": 1})
class DesktopEnvActor:
    """A DesktopEnv in its own Ray worker process: `reset`, `step`, `render` and `close` as remote
    methods, and `rollout` for whole trajectories. The configuration is DesktopEnv's."""

    def __init__(self, config: Mapping[str, Any] | None = None, **options):
        self.env = DesktopEnv(config, **options)

    def reset(self, seed: int | None = None, options: dict | None = None):
        return self.env.reset(seed=seed, options=options)

    def step(self, action):
        return self.env.step(action)

    def render(self):
        return self.env.render()

    def rollout(self, steps: int, policy: Callable | None = None, seed: int | None = None,
                observations: bool = False) -> list[dict]:
        """Resets, then takes up to `steps` steps with `policy(observation) -> action` (random actions
        without one) until the episode ends; one dict per step with the action, reward, terminated,
        truncated, info and, with `observations`, the observation after it."""
        obs, _ = self.env.reset(seed=seed)
        if policy is None:
            self.env.action_space.seed(seed)
        trajectory = []
        for _ in range(steps):
            action = policy(obs) if policy is not None else self.env.action_space.sample()
            obs, reward, terminated, truncated, info = self.env.step(action)
            record = {"action": action, "reward": reward, "terminated": terminated, "truncated": truncated,
                      "info": info}
            if observations:
                record["observation"] = obs
            trajectory.append(record)
            if terminated or truncated:
                break
        return trajectory

    def where(self) -> dict[str, Any]:
        """The Ray node, host and process this actor runs in."""
        return {"node_id": ray.get_runtime_context().get_node_id(), "host": socket.gethostname(),
                "pid": os.getpid()}

    def close(self) -> None:
        self.env.close()


def register_rllib_env(name: str = "pravlin/Desktop-v0") -> str:
    """Registers DesktopEnv with Ray Tune's registry (what RLlib reads) under `name`; the env_config
    RLlib passes is DesktopEnv's configuration. Needs ray[tune]."""
    from ray.tune.registry import register_env

    register_env(name, lambda env_config: DesktopEnv(dict(env_config)))
    return name
