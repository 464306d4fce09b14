"""A PidController driving a simulated first-order plant to a set point; prints the step response."""

from foundation import PidConfig, PidController

TIME_CONSTANT = 0.5  # s, plant: tau * dy/dt = u - y
DT = 0.02            # s, control period
SET_POINT = 1.0


def main() -> None:
    config = PidConfig(kp=2.0, ki=4.0, kd=0.05, derivative_lpf_alpha=0.5, output_min=-5.0, output_max=5.0)
    pid = PidController(config)
    print(config)
    print(f"{'t [s]':>6} {'output':>8} {'command':>8} {'integral':>9}")
    y = 0.0
    for step in range(151):
        u = pid.update(SET_POINT - y, DT)
        y += (u - y) * DT / TIME_CONSTANT
        if step % 10 == 0:
            print(f"{step * DT:6.2f} {y:8.4f} {u:8.4f} {pid.integral:9.4f}")


if __name__ == "__main__":
    main()
