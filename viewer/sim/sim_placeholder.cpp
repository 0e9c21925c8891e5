// The simulation library; its parts are added beside this file.
int ksm_sim_placeholder() { return 0; }
