"""pravlin_desktop.ray: desktops placed on a (local, two-node) Ray cluster by the "desktop" resource."""

import os
import shutil
from collections import Counter

import pytest

ray = pytest.importorskip("ray")
pytest.importorskip("gymnasium")
pytest.importorskip("cv2")

pytestmark = [
    pytest.mark.skipif(shutil.which("sway") is None or shutil.which("foot") is None, reason="needs sway and foot"),
    # The sanitizer run preloads AddressSanitizer into every process it starts, Ray's own daemons included,
    # which then fail to come up in time; nothing of pravlin's runs differently inside a Ray worker.
    pytest.mark.skipif(bool(os.environ.get("PRAVLIN_SANITIZED")),
                       reason="Ray's daemons do not start with the sanitizer runtime preloaded"),
]

CONFIG = {"programs": [["foot"]], "outputs": [(320, 240)], "max_steps": 3, "settle": False}


@pytest.fixture
def two_nodes(tmp_path, monkeypatch):
    from ray.cluster_utils import Cluster

    # Ray puts the driver's working directory first on its workers' path: from a checkout, they would
    # import the package's sources instead of the installed package.
    monkeypatch.chdir(tmp_path)

    # Two desktops per node and little else: the CPUs are the sessions'.
    cluster = Cluster(initialize_head=True, head_node_args={"num_cpus": 1, "resources": {"desktop": 2},
                                                            "include_dashboard": False})
    cluster.add_node(num_cpus=1, resources={"desktop": 2})
    ray.init(address=cluster.address, log_to_driver=False)
    try:
        yield cluster
    finally:
        ray.shutdown()
        cluster.shutdown()


def test_four_actors_are_placed_by_the_desktop_resource_and_return_trajectories(two_nodes):
    from pravlin_desktop.ray import DesktopEnvActor

    actors = [DesktopEnvActor.remote(CONFIG) for _ in range(4)]
    places = ray.get([a.where.remote() for a in actors], timeout=120)
    assert Counter(p["node_id"] for p in places) == Counter({n["NodeID"]: 2 for n in ray.nodes() if n["Alive"]})
    # A fifth finds no desktop left and is not placed.
    fifth = DesktopEnvActor.remote(CONFIG)
    ready, _ = ray.wait([fifth.where.remote()], timeout=1.0)
    assert not ready
    ray.kill(fifth)

    trajectories = ray.get([a.rollout.remote(5, seed=i) for i, a in enumerate(actors)], timeout=120)
    for t in trajectories:
        assert len(t) == 3 and t[-1]["truncated"] and not any(s["truncated"] for s in t[:-1])
        assert all(isinstance(s["reward"], float) for s in t)
    obs, info = ray.get(actors[0].reset.remote(seed=7), timeout=60)
    assert obs["screen"].shape == (240, 320, 3)
    action = trajectories[0][0]["action"]
    obs, reward, terminated, truncated, info = ray.get(actors[0].step.remote(action), timeout=60)
    assert obs["screen"].shape == (240, 320, 3) and info["action"]
    ray.get([a.close.remote() for a in actors], timeout=60)


def test_rllib_registration_makes_the_environment_from_its_configuration():
    pytest.importorskip("ray.tune")
    from ray.tune.registry import ENV_CREATOR, _global_registry

    from pravlin_desktop.ray import register_rllib_env

    name = register_rllib_env("pravlin-desktop-test")
    env = _global_registry.get(ENV_CREATOR, name)({"outputs": [(320, 240)], "settle": False})
    try:
        obs, _ = env.reset()
        assert obs["screen"].shape == (240, 320, 3)
    finally:
        env.close()
